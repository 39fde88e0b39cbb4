// The desktop program's window while its search meets silent instruments:
// the gaps between the ticks of a 10 ms timer of the window's thread (p50,
// p99, max), and the time from Stop to the end of the search for a USB link
// family (Tesk over MPUSB) and a device-library family (Alda). Run it inside
// the lab, offscreen:
//   QT_QPA_PLATFORM=offscreen brevane-lab run --config bench/window-lab.ini -- window_bench
// Exit status 1 when a target is missed.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/CBrevaneDlg.h"
#include "app/GuiPrompt.h"
#include "app/UiHooks.h"
#include "framework/Prompt.h"
#include "families/Registry.h"
#include "framework/Registry.h"

namespace {

constexpr double kTargetP99Ms = 50;
constexpr double kTargetMaxMs = 250;
constexpr double kTargetUsbStopS = 1.2;
constexpr double kTargetTavikStopS = 2.2;

// Runs the window's event loop for `ms` milliseconds.
void Run(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Starts a search, lets it run for `runMs`, presses Stop and returns the
// seconds until the window reports the end; -1 when it ended before Stop or
// did not end within a minute.
double StoppedSearch(CBrevaneDlg& dlg, int runMs) {
    dlg.DiscoverButton()->click();
    Run(runMs);
    if (!dlg.IsBusy()) return -1;
    QElapsedTimer stop;
    QEventLoop ended;
    QObject::connect(&dlg, &CBrevaneDlg::jobFinished, &ended, &QEventLoop::quit);
    QTimer::singleShot(60000, &ended, &QEventLoop::quit);
    stop.start();
    dlg.DiscoverButton()->click();
    ended.exec();
    return dlg.IsBusy() ? -1 : static_cast<double>(stop.nsecsElapsed()) / 1e9;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const auto at = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(at, v.size() - 1)];
}

struct Stops {
    std::vector<double> seconds;
    int failed = 0;
    double Max() const { return seconds.empty() ? 0 : *std::max_element(seconds.begin(), seconds.end()); }
    double Mean() const {
        double sum = 0;
        for (double s : seconds) sum += s;
        return seconds.empty() ? 0 : sum / static_cast<double>(seconds.size());
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    BuildOrvelCatalogue();
    // Nothing here may wait for a person.
    ui::SetMessageHook([](const QString& text, const QString&) {
        std::fprintf(stderr, "window_bench: message: %s\n", text.toUtf8().constData());
    });
    ui::SetQuestionHook([](const QString&, const QString&) { return true; });
    CBrevaneDlg dlg;
    CGuiPrompt prompt(&dlg);
    SetUserPrompt(&prompt);
    dlg.show();

    // The window's own timer: every gap between two ticks.
    std::vector<double> gaps;
    QElapsedTimer clock;
    qint64 last = -1;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (last >= 0) gaps.push_back(static_cast<double>(now - last) / 1e6);
        last = now;
    });
    clock.start();
    ticker.start(10);

    // Tesk: Stop lands somewhere in the silent device's blocking reads.
    Stops usb;
    dlg.SetSearchList({"Tesk - 100", "Pembrix - Alda"});
    for (int i = 0; i < 5; ++i) {
        const double s = StoppedSearch(dlg, i == 0 ? 6000 : 1500 + 170 * i);
        if (s < 0) ++usb.failed;
        else usb.seconds.push_back(s);
    }
    // Alda: Stop lands at several points of a two-second export.
    Stops tavik;
    dlg.SetSearchList({"Pembrix - Alda"});
    for (int i = 0; i < 5; ++i) {
        const double s = StoppedSearch(dlg, 300 + 330 * i);
        if (s < 0) ++tavik.failed;
        else tavik.seconds.push_back(s);
    }
    ticker.stop();
    const double wall = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    SetUserPrompt(nullptr);

    const double p50 = Percentile(gaps, 50), p99 = Percentile(gaps, 99);
    const double max = gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end());
    std::printf("window: 10 ms timer over %.1f s, %zu gaps: p50 %.1f ms  p99 %.1f ms  max %.1f ms"
                "  (targets: p99 <= %.0f ms, max <= %.0f ms)\n",
                wall, gaps.size(), p50, p99, max, kTargetP99Ms, kTargetMaxMs);
    std::printf("stop, Tesk - 100 (silent, MPUSB): %zu stops  mean %.3f s  max %.3f s  (target <= %.1f s)\n",
                usb.seconds.size(), usb.Mean(), usb.Max(), kTargetUsbStopS);
    std::printf("stop, Pembrix - Alda (silent, hidraw): %zu stops  mean %.3f s  max %.3f s  (target <= %.1f s)\n",
                tavik.seconds.size(), tavik.Mean(), tavik.Max(), kTargetTavikStopS);
    bool ok = p99 <= kTargetP99Ms && max <= kTargetMaxMs && usb.Max() <= kTargetUsbStopS &&
              tavik.Max() <= kTargetTavikStopS && usb.failed == 0 && tavik.failed == 0 && !gaps.empty();
    if (usb.failed || tavik.failed)
        std::printf("window: %d search(es) ended before Stop or not within a minute\n", usb.failed + tavik.failed);
    std::printf("window: %s\n", ok ? "all targets met" : "TARGET MISSED");
    return ok ? 0 : 1;
}
