#include "CBrevaneApp.h"

#include "AppSettings.h"
#include "CBrevaneDlg.h"
#include "GuiPrompt.h"
#include "UiHooks.h"
#include "families/Registry.h"
#include "framework/Registry.h"

CBrevaneApp::CBrevaneApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(ui::AppTitle());
    setApplicationDisplayName(ui::AppTitle());
    setOrganizationName(QStringLiteral("Quenlor"));
}

CBrevaneApp::~CBrevaneApp() {
    // The window first: it waits for a job still running, which may ask the prompt.
    m_dlg.reset();
    SetUserPrompt(nullptr);
}

bool CBrevaneApp::InitInstance() {
    BuildOrvelCatalogue();
    m_dlg = std::make_unique<CBrevaneDlg>();
    m_dlg->UseSettings(CAppSettings::DefaultFile());
    m_prompt = std::make_unique<CGuiPrompt>(m_dlg.get());
    SetUserPrompt(m_prompt.get());
    m_dlg->show();
    return true;
}
