#include "CBrevaneApp.h"

#include "AppSettings.h"
#include "CBrevaneDlg.h"
#include "GuiPrompt.h"
#include "UiHooks.h"
#include "framework/Registry.h"
#include "framework/Wait.h"

CBrevaneApp::CBrevaneApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(ui::AppTitle());
    setApplicationDisplayName(ui::AppTitle());
    setOrganizationName(QStringLiteral("Quenlor"));
}

CBrevaneApp::~CBrevaneApp() {
    SetUserPrompt(nullptr);
    SetWaitPump({});
    m_dlg.reset();
}

bool CBrevaneApp::InitInstance() {
    FamilyRegistry::BuildOrvelCatalogue();
    InstallEventLoopWaitPump();
    m_dlg = std::make_unique<CBrevaneDlg>();
    m_dlg->UseSettings(CAppSettings::DefaultFile());
    m_prompt = std::make_unique<CGuiPrompt>(m_dlg.get());
    SetUserPrompt(m_prompt.get());
    m_dlg->show();
    return true;
}
