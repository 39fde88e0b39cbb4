#pragma once
#include <optional>
#include <string>
#include <vector>

// How families and the search ask the user. The GUI answers with dialogs, the
// command line with its options, tests with scripted answers.
class IUserPrompt {
public:
    virtual ~IUserPrompt() = default;
    // The connection dialog: suggestions found on the network; an empty result
    // means the user cancelled. A result is a cleaned, validated address.
    virtual std::optional<std::string> ChooseAddress(const std::vector<std::string>& suggestions) = 0;
    // A modal message with an OK button.
    virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
};

// Answers as a user pressing OK at once would: the connection dialog's first
// choice (when it is a valid address), messages to standard error.
class DefaultPrompt : public IUserPrompt {
public:
    std::optional<std::string> ChooseAddress(const std::vector<std::string>& suggestions) override;
    void ShowMessage(const std::string& text, const std::string& caption) override;
};

IUserPrompt& UserPrompt();
// Installs a prompt (not owned); nullptr restores the default.
void SetUserPrompt(IUserPrompt* prompt);
