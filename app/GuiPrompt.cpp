#include "GuiPrompt.h"

#include "CCardSelView.h"
#include "CConnDevDlg.h"
#include "UiHooks.h"
#include "UiThread.h"

// A dialog the window can no longer show (it is being destroyed) counts as
// cancelled.

std::optional<std::string> CGuiPrompt::ChooseAddress(const std::vector<std::string>& suggestions) {
    std::optional<std::string> address;
    ui::RunOnUiThread([&] {
        CConnDevDlg dlg(suggestions, m_parent);
        if (dlg.exec() == QDialog::Accepted) address = dlg.Address();
    });
    return address;
}

void CGuiPrompt::ShowMessage(const std::string& text, const std::string& caption) {
    ui::RunOnUiThread(
        [&] { ui::ShowMessage(m_parent, QString::fromStdString(text), QString::fromStdString(caption)); });
}

bool CGuiPrompt::ChooseCard(ICardSelection& selection) {
    bool chosen = false;
    ui::RunOnUiThread([&] {
        CCardSelView dlg(selection, m_parent);
        chosen = dlg.exec() == QDialog::Accepted;
    });
    return chosen;
}
