#include "CliPrompt.h"

#include <cstdio>

#include "framework/ConnDev.h"

std::optional<std::string> CliPrompt::ChooseAddress(const std::vector<std::string>& suggestions) {
    if (!m_target && suggestions.empty()) {
        // The dialog would open empty: say what the user can do about it.
        m_lastMessage = kNoAddressFound;
        std::fprintf(stderr, "brevane-cli: %s\n", kNoAddressFound);
        return std::nullopt;
    }
    const std::string text = m_target ? *m_target : conndev::InitialChoice(suggestions);
    auto cleaned = conndev::Clean(text);
    if (cleaned.verdict != conndev::Verdict::Ok) return std::nullopt;
    return cleaned.address;
}

void CliPrompt::ShowMessage(const std::string& text, const std::string& caption) {
    m_lastMessage = text;
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

bool CliPrompt::ChooseCard(ICardSelection& selection) {
    // An empty list closes the dialog at once as cancelled.
    if (selection.RowCount() <= 0) return false;
    const int row = m_cardRow ? *m_cardRow - 1 : 0;
    int mode = selection.InitialMode();
    if (m_mode) {
        if (selection.ShowsModeControls())
            mode = *m_mode;
        else
            std::fprintf(stderr, "%s: no operation-mode choice for this chassis; --mode ignored\n",
                         selection.Title().c_str());
    }
    const auto refusal = selection.Accept(row, mode);
    if (refusal.empty()) return true;
    ShowMessage(refusal, selection.Title());
    return false;
}
