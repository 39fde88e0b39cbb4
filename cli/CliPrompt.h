#pragma once
#include <optional>
#include <string>

#include "framework/Prompt.h"

// The command line's answers: the --target address when one was given, else
// what the connection dialog would show first; the --card row and --mode when
// given, else the dialog's first row with its preselected mode; messages go to
// standard error.
class CliPrompt : public IUserPrompt {
public:
    static constexpr const char* kNoAddressFound =
        "no device address was discovered on the network; name the device with --target IP";

    explicit CliPrompt(std::optional<std::string> target, std::optional<int> cardRow = std::nullopt,
                       std::optional<int> mode = std::nullopt)
        : m_target(std::move(target)), m_cardRow(cardRow), m_mode(mode) {}
    std::optional<std::string> ChooseAddress(const std::vector<std::string>& suggestions) override;
    std::optional<std::string> PresetAddress() const override { return m_target; }
    void ShowMessage(const std::string& text, const std::string& caption) override;
    bool ChooseCard(ICardSelection& selection) override;

    // The last message shown (a refusal of the card dialog, a family's "Can't
    // detect" message), for the command's error text.
    const std::string& LastMessage() const { return m_lastMessage; }

private:
    std::optional<std::string> m_target;
    std::optional<int> m_cardRow;  // 1-based, as the dialog's "No." column
    std::optional<int> m_mode;     // 0 = Initialize, 1 = Modify
    std::string m_lastMessage;
};
