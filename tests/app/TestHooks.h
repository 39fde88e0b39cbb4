#pragma once
// Records every message box and answers every question, so no test waits on
// a modal box.
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app/CBrevaneDlg.h"
#include "app/UiHooks.h"

struct Shown {
    QString text;
    QString caption;
};

class HookedTest : public ::testing::Test {
protected:
    void SetUp() override {
        ui::SetMessageHook([this](const QString& t, const QString& c) { messages.push_back({t, c}); });
        ui::SetQuestionHook([this](const QString& t, const QString& c) {
            questions.push_back({t, c});
            return answer;
        });
    }
    void TearDown() override {
        ui::SetMessageHook({});
        ui::SetQuestionHook({});
    }

    std::vector<Shown> messages;
    std::vector<Shown> questions;
    bool answer = false;
};

// True inside a network namespace other than the one the test was started
// from (BREVANE_TEST_HOST_NETNS, set by the ctest entry outside the lab):
// tests that search network families run only there, so they never
// broadcast on the machine's real interfaces.
inline bool InOwnNetworkNamespace() {
    const char* host = std::getenv("BREVANE_TEST_HOST_NETNS");
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/ns/net", error);
    return host && *host && !error && self.string() != host;
}

// Runs the event loop until the window's search or write has ended (its
// outcome shown); false when it still runs after the limit.
inline bool WaitForJob(const CBrevaneDlg& dlg, int limitMs = 60000) {
    QElapsedTimer waited;
    waited.start();
    while (dlg.IsBusy() && waited.elapsed() < limitMs) QTest::qWait(5);
    return !dlg.IsBusy();
}
