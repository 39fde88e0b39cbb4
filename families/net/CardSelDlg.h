#pragma once
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/CCommBase.h"
#include "framework/Prompt.h"
#include "framework/Wait.h"

// The card-selection dialogs of the Gostel and Hevra chassis, without their
// view: the rows, the texts and the rules of OK.
struct ChassisCard {
    std::uint8_t slot;
    std::uint16_t cardType;
};

struct CardPick {
    int slot;  // the number in the row's Slot ID text minus 2 ("n/a" reads as 0)
    std::uint16_t cardType;
    std::string typeText;
    int row;
    std::uint32_t mode;  // 0 = Initialize, 1 = Modify
};

// The card a chassis family has made current: the dialog's pick, or the entry
// a search made current by index.
struct ChosenCard {
    std::uint8_t slot = 0;
    std::uint16_t cardType = 0;
    std::string typeText;
    std::int32_t index = 0;

    // The controller row's Slot ID reads "n/a": then its entry's own slot is kept.
    void Take(const CardPick& pick, std::uint8_t entrySlot);
    void Take(std::int32_t row, std::uint8_t entrySlot, std::uint16_t type, std::string text);
    // "<type text> (Slot <slot plus 2>)"
    std::string ModuleText() const;
};

class CChassisCardSelDlg : public ICardSelection {
public:
    static constexpr const char* kSelectCard = "Please select a card!";

    std::string Title() const override { return m_title; }
    std::vector<std::string> Columns() const override { return {"No.", "Slot ID", "Card Type"}; }
    std::vector<int> ColumnWidths() const override { return {50, 80, 125}; }
    int RowCount() const override { return static_cast<int>(m_cards.size()); }
    std::vector<std::string> Row(int row) const override;
    bool ShowsModeControls() const override { return m_showModes; }
    std::string ModeNote() const override { return m_note; }
    int InitialMode() const override { return m_showModes ? 0 : 1; }
    std::string Accept(int row, int mode) override;

    // The accepted pick, after Accept returned an empty text.
    const std::optional<CardPick>& Result() const { return m_result; }

protected:
    CChassisCardSelDlg(std::string title, std::vector<ChassisCard> cards, std::uint16_t controllerType,
                       std::string (*typeText)(std::uint16_t), bool showModes, std::string note,
                       std::string initializeRefusal);

private:
    std::string m_title;
    std::vector<ChassisCard> m_cards;
    std::uint16_t m_controllerType;
    std::string (*m_typeText)(std::uint16_t);
    bool m_showModes;
    std::string m_note;
    std::string m_initializeRefusal;
    std::optional<CardPick> m_result;
};

// "Mervo Series Card Select": the mode controls show when the family's mode
// word is 0, with Initialize preselected; Initialize allows only the first two
// rows (the controller and one card).
class CGostelCardSelDlg : public CChassisCardSelDlg {
public:
    static constexpr const char* kNote =
        "If you select Initialize Mode,You MUST insert olny one sub-card in Gostel - 2160.";
    static constexpr const char* kInitializeRefusal =
        "Under Initialize mode,You MUST insert olny one sub-card in Gostel - 2160.";
    CGostelCardSelDlg(std::vector<ChassisCard> cards, std::uint32_t modeWord);
};

// "Hevra Series Card Select": no mode controls.
class CHevraCardSelDlg : public CChassisCardSelDlg {
public:
    explicit CHevraCardSelDlg(std::vector<ChassisCard> cards);
};

// The card-selection path of a chassis family: its target choice, a search of
// that chassis (on failure `notDetected` is shown), then the dialog that
// `makeDialog` builds from the cards found. Nothing when the user cancelled or
// nothing was found; the family is then closed and disconnected.
std::optional<CardPick> RunCardSelection(CCommBase& family, const char* notDetected,
                                         const std::function<std::unique_ptr<CChassisCardSelDlg>()>& makeDialog);

// The target choice of a chassis family: a discovery on every interface with
// a socket object of its own (`Probe`), then the connection dialog with the
// distinct chassis addresses found, in order; the choice goes to SetAddress.
template <class Probe>
BOOL ChooseChassisTarget(CCommBase& family) {
    // An address the user already named is taken as it is: no discovery on
    // every interface first.
    if (auto preset = UserPrompt().PresetAddress()) {
        family.SetAddress(*preset);
        return TRUE;
    }
    Probe probe;
    probe.Discover();
    // A search stopped meanwhile asks the user nothing more.
    if (StopRequested()) return FALSE;
    std::vector<std::string> addresses;
    for (const auto& c : probe.m_cards)
        if (std::find(addresses.begin(), addresses.end(), c.deviceAddress) == addresses.end())
            addresses.push_back(c.deviceAddress);
    auto chosen = UserPrompt().ChooseAddress(addresses);
    if (!chosen) return FALSE;
    family.SetAddress(*chosen);
    return TRUE;
}
