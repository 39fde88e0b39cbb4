#pragma once
#include <QApplication>

#include <memory>

class CBrevaneDlg;
class CGuiPrompt;

// The application: sets up the core for a desktop session (Orvel catalogue,
// dialog prompts) and owns the main window.
class CBrevaneApp : public QApplication {
    Q_OBJECT
public:
    CBrevaneApp(int& argc, char** argv);
    ~CBrevaneApp() override;

    // Prepares the core and shows the main window.
    bool InitInstance();
    CBrevaneDlg* MainDialog() const { return m_dlg.get(); }

private:
    std::unique_ptr<CGuiPrompt> m_prompt;
    std::unique_ptr<CBrevaneDlg> m_dlg;
};
