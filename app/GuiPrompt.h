#pragma once
#include "framework/Prompt.h"

class QWidget;

// How families ask the user in the desktop program: the connection dialog
// and message boxes, owned by the main window.
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

// Installs the wait pump of the desktop program: while a family waits, a
// local event loop runs until the deadline, so windows stay live and nothing
// spins. Without a QCoreApplication it sleeps.
void InstallEventLoopWaitPump();
