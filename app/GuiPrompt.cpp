#include "GuiPrompt.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <thread>

#include "CCardSelView.h"
#include "CConnDevDlg.h"
#include "UiHooks.h"
#include "framework/Wait.h"

std::optional<std::string> CGuiPrompt::ChooseAddress(const std::vector<std::string>& suggestions) {
    CConnDevDlg dlg(suggestions, m_parent);
    if (dlg.exec() != QDialog::Accepted) return std::nullopt;
    return dlg.Address();
}

void CGuiPrompt::ShowMessage(const std::string& text, const std::string& caption) {
    ui::ShowMessage(m_parent, QString::fromStdString(text), QString::fromStdString(caption));
}

bool CGuiPrompt::ChooseCard(ICardSelection& selection) {
    CCardSelView dlg(selection, m_parent);
    return dlg.exec() == QDialog::Accepted;
}

void InstallEventLoopWaitPump() {
    SetWaitPump([](WaitClock::time_point deadline) {
        const auto left = deadline - WaitClock::now();
        if (left <= WaitClock::duration::zero()) return;
        if (!QCoreApplication::instance()) {
            std::this_thread::sleep_until(deadline);
            return;
        }
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(static_cast<int>(ms));
        // An event loop refuses to run once the application is quitting; then
        // sleep instead of returning at once again and again.
        if (loop.exec() < 0) std::this_thread::sleep_until(deadline);
    });
}
