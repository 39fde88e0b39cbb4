#pragma once
#include <optional>
#include <string>
#include <vector>

// The card-selection dialog of a chassis family, as a Qt-free model: the
// family fills the rows and owns the rules; a front end shows the rows, lets the
// user pick one (and an operation mode when the mode controls are shown) and
// asks the model to accept the pick.
class ICardSelection {
public:
    virtual ~ICardSelection() = default;
    virtual std::string Title() const = 0;
    // Column headers and widths in pixels ("No." 50 centred, "Slot ID" 80,
    // "Card Type" 125 for the chassis families).
    virtual std::vector<std::string> Columns() const = 0;
    virtual std::vector<int> ColumnWidths() const = 0;
    virtual int RowCount() const = 0;
    virtual std::vector<std::string> Row(int row) const = 0;
    // Operation-mode controls ("Initialize" / "Modify" and a note); when hidden,
    // the family's fixed mode applies.
    virtual bool ShowsModeControls() const = 0;
    virtual std::string ModeNote() const = 0;
    virtual int InitialMode() const = 0;  // 0 = Initialize, 1 = Modify
    // The user pressed OK with `row` selected (-1: none) and `mode` chosen.
    // Returns the refusal to show (the dialog stays open), or an empty text when
    // the pick is accepted and stored.
    virtual std::string Accept(int row, int mode) = 0;
};

// How families and the search ask the user. The GUI answers with dialogs, the
// command line with its options, tests with scripted answers.
class IUserPrompt {
public:
    virtual ~IUserPrompt() = default;
    // The connection dialog: suggestions found on the network; an empty result
    // means the user cancelled. A result is a cleaned, validated address.
    virtual std::optional<std::string> ChooseAddress(const std::vector<std::string>& suggestions) = 0;
    // An address the user named before any search (the command line's
    // --target): a family goes to it without looking for suggestions.
    virtual std::optional<std::string> PresetAddress() const { return std::nullopt; }
    // A modal message with an OK button.
    virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
    // The card-selection dialog; false means cancelled. An empty selection
    // closes the dialog at once as cancelled.
    virtual bool ChooseCard(ICardSelection& selection) = 0;
};

// Answers as a user pressing OK at once would: the connection dialog's first
// choice (when it is a valid address), messages to standard error.
class DefaultPrompt : public IUserPrompt {
public:
    std::optional<std::string> ChooseAddress(const std::vector<std::string>& suggestions) override;
    void ShowMessage(const std::string& text, const std::string& caption) override;
    // The first row with the preselected mode, as the dialog would offer it.
    bool ChooseCard(ICardSelection& selection) override;
};

IUserPrompt& UserPrompt();
// Installs a prompt (not owned); nullptr restores the default.
void SetUserPrompt(IUserPrompt* prompt);
