#pragma once
#include "framework/Prompt.h"

class QWidget;

// How families ask the user in the desktop program: the connection dialog,
// the card-selection dialogs and message boxes, owned by the main window.
// Families call it on the search's worker thread; the dialogs are shown on
// the user-interface thread while the worker waits for the answer.
class CGuiPrompt : public IUserPrompt {
public:
    explicit CGuiPrompt(QWidget* parent = nullptr) : m_parent(parent) {}
    void SetParent(QWidget* parent) { m_parent = parent; }

    std::optional<std::string> ChooseAddress(const std::vector<std::string>& suggestions) override;
    void ShowMessage(const std::string& text, const std::string& caption) override;
    bool ChooseCard(ICardSelection& selection) override;

private:
    QWidget* m_parent;
};
