#include "CardSelDlg.h"

#include <cstdlib>

#include "GostelProtocol.h"
#include "HevraProtocol.h"

CChassisCardSelDlg::CChassisCardSelDlg(std::string title, std::vector<ChassisCard> cards,
                                       std::uint16_t controllerType, std::string (*typeText)(std::uint16_t),
                                       bool showModes, std::string note, std::string initializeRefusal)
    : m_title(std::move(title)),
      m_cards(std::move(cards)),
      m_controllerType(controllerType),
      m_typeText(typeText),
      m_showModes(showModes),
      m_note(std::move(note)),
      m_initializeRefusal(std::move(initializeRefusal)) {}

std::vector<std::string> CChassisCardSelDlg::Row(int row) const {
    if (row < 0 || row >= RowCount()) return {};
    const ChassisCard& card = m_cards[static_cast<std::size_t>(row)];
    const std::string slot = card.cardType == m_controllerType ? "n/a" : std::to_string(card.slot + 2);
    return {std::to_string(row + 1), slot, m_typeText(card.cardType)};
}

std::string CChassisCardSelDlg::Accept(int row, int mode) {
    if (row < 0 || row >= RowCount()) return kSelectCard;
    // Hidden controls: Modify applies.
    const std::uint32_t chosenMode = m_showModes ? (mode == 0 ? 0u : 1u) : 1u;
    if (m_showModes && chosenMode == 0 && row >= 2) return m_initializeRefusal;
    const auto cells = Row(row);
    const ChassisCard& card = m_cards[static_cast<std::size_t>(row)];
    m_result = CardPick{std::atoi(cells[1].c_str()) - 2, card.cardType, cells[2], row, chosenMode};
    return {};
}

CGostelCardSelDlg::CGostelCardSelDlg(std::vector<ChassisCard> cards, std::uint32_t modeWord)
    : CChassisCardSelDlg("Mervo Series Card Select", std::move(cards), gostel::kControllerType, gostel::CardTypeText,
                         modeWord == 0, kNote, kInitializeRefusal) {}

CHevraCardSelDlg::CHevraCardSelDlg(std::vector<ChassisCard> cards)
    : CChassisCardSelDlg("Hevra Series Card Select", std::move(cards), hevra::kControllerType, hevra::CardTypeText,
                         false, "", "") {}

void ChosenCard::Take(const CardPick& pick, std::uint8_t entrySlot) {
    slot = pick.slot >= 0 ? static_cast<std::uint8_t>(pick.slot) : entrySlot;
    cardType = pick.cardType;
    typeText = pick.typeText;
    index = pick.row;
}

void ChosenCard::Take(std::int32_t row, std::uint8_t entrySlot, std::uint16_t type, std::string text) {
    slot = entrySlot;
    cardType = type;
    typeText = std::move(text);
    index = row;
}

std::string ChosenCard::ModuleText() const {
    return typeText + " (Slot " + std::to_string(static_cast<unsigned>(slot) + 2u) + ")";
}

std::optional<CardPick> RunCardSelection(CCommBase& family, const char* notDetected,
                                         const std::function<std::unique_ptr<CChassisCardSelDlg>()>& makeDialog) {
    if (!family.ChooseTarget()) return std::nullopt;
    if (!family.Connect()) {
        UserPrompt().ShowMessage(notDetected, "Brevane");
        family.CloseModule();
        family.Disconnect();
        return std::nullopt;
    }
    const auto dlg = makeDialog();
    if (!UserPrompt().ChooseCard(*dlg) || !dlg->Result()) {
        family.CloseModule();
        family.Disconnect();
        return std::nullopt;
    }
    return dlg->Result();
}
