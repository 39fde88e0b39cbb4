#include "Prompt.h"

#include <atomic>
#include <cstdio>

#include "ConnDev.h"

std::optional<std::string> DefaultPrompt::ChooseAddress(const std::vector<std::string>& suggestions) {
    auto cleaned = conndev::Clean(conndev::InitialChoice(suggestions));
    if (cleaned.verdict != conndev::Verdict::Ok) return std::nullopt;
    return cleaned.address;
}

void DefaultPrompt::ShowMessage(const std::string& text, const std::string& caption) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

bool DefaultPrompt::ChooseCard(ICardSelection& selection) {
    if (selection.RowCount() <= 0) return false;
    const auto refusal = selection.Accept(0, selection.InitialMode());
    if (refusal.empty()) return true;
    ShowMessage(refusal, selection.Title());
    return false;
}

namespace {
// Installed by a front end's thread, read by the families on the worker.
std::atomic<IUserPrompt*> g_prompt{nullptr};
}

IUserPrompt& UserPrompt() {
    static DefaultPrompt fallback;
    IUserPrompt* prompt = g_prompt.load();
    return prompt ? *prompt : fallback;
}

void SetUserPrompt(IUserPrompt* prompt) { g_prompt.store(prompt); }
