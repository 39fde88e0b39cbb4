#pragma once
// Records every message box and answers every question, so no test waits on
// a modal box.
#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

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
