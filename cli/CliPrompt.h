#pragma once
#include <optional>
#include <string>

#include "framework/Prompt.h"

// The command line's answers: the --target address when one was given, else
// what the connection dialog would show first; messages go to standard error.
class CliPrompt : public IUserPrompt {
public:
    explicit CliPrompt(std::optional<std::string> target) : m_target(std::move(target)) {}
    std::optional<std::string> ChooseAddress(const std::vector<std::string>& suggestions) override;
    void ShowMessage(const std::string& text, const std::string& caption) override;
    bool ChooseCard(ICardSelection& selection) override;

private:
    std::optional<std::string> m_target;
};
