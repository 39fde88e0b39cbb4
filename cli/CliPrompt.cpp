#include "CliPrompt.h"

#include <cstdio>

#include "framework/ConnDev.h"

std::optional<std::string> CliPrompt::ChooseAddress(const std::vector<std::string>& suggestions) {
    const std::string text = m_target ? *m_target : conndev::InitialChoice(suggestions);
    auto cleaned = conndev::Clean(text);
    if (cleaned.verdict != conndev::Verdict::Ok) return std::nullopt;
    return cleaned.address;
}

void CliPrompt::ShowMessage(const std::string& text, const std::string& caption) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

bool CliPrompt::ChooseCard(ICardSelection& selection) {
    DefaultPrompt preselected;
    return preselected.ChooseCard(selection);
}
