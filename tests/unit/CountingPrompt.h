#pragma once
// A prompt that counts what a family asks of the user: it takes the first
// address offered, shows nothing and picks no card.
#include <optional>
#include <string>
#include <vector>

#include "framework/Prompt.h"

class CountingPrompt : public DefaultPrompt {
public:
    std::optional<std::string> ChooseAddress(const std::vector<std::string>& s) override {
        ++asked;
        return s.front();
    }
    void ShowMessage(const std::string&, const std::string&) override { ++asked; }
    bool ChooseCard(ICardSelection&) override {
        ++asked;
        return false;
    }
    int asked = 0;
};
