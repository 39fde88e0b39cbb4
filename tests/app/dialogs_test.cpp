// The connection dialog, the prompt built on it and the search-list dialog.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "TestHooks.h"
#include "app/CConnDevDlg.h"
#include "app/CSearchListDlg.h"
#include "app/CSetSerialDlg.h"
#include "app/GuiPrompt.h"
#include "families/Registry.h"
#include "framework/Registry.h"

using ConnDevDlgTest = HookedTest;

TEST_F(ConnDevDlgTest, SuggestionsSortedFirstChosen) {
    CConnDevDlg dlg({"192.168.7.20", "10.0.0.5", "172.16.1.1"});
    EXPECT_EQ(dlg.windowTitle(), "Device IP");
    QComboBox* box = dlg.AddressBox();
    ASSERT_EQ(box->count(), 3);
    EXPECT_TRUE(box->isEditable());
    EXPECT_EQ(box->itemText(0), "10.0.0.5");
    EXPECT_EQ(box->itemText(2), "192.168.7.20");
    EXPECT_EQ(box->currentText(), "10.0.0.5");
}

TEST_F(ConnDevDlgTest, InvalidEntryKeepsDialogOpen) {
    CConnDevDlg dlg({});
    dlg.show();
    dlg.AddressBox()->setEditText("10.0.0.300");
    dlg.OkButton()->click();
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_FALSE(dlg.Address().has_value());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Please input a correct IP address!");
    EXPECT_EQ(messages[0].caption, "Message");

    dlg.AddressBox()->setEditText("   ");
    dlg.OkButton()->click();
    EXPECT_TRUE(dlg.isVisible());
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].text, "Please input device IP address!");
    EXPECT_EQ(messages[1].caption, "Brevane");

    // Blanks are removed and the text is cut at the first '-'.
    dlg.AddressBox()->setEditText(" 10.0.0.7 - lab rack");
    dlg.OkButton()->click();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    ASSERT_TRUE(dlg.Address().has_value());
    EXPECT_EQ(*dlg.Address(), "10.0.0.7");
    EXPECT_EQ(messages.size(), 2u);
}

TEST_F(ConnDevDlgTest, CancelGivesNoAddress) {
    CConnDevDlg dlg({"10.0.0.5"});
    dlg.show();
    dlg.CancelButton()->click();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_FALSE(dlg.Address().has_value());
    EXPECT_TRUE(messages.empty());
}

namespace {
// Drives the next modal connection dialog as a user would.
void AnswerNextDialog(std::vector<QString> entries, bool cancel) {
    QTimer::singleShot(20, [entries = std::move(entries), cancel]() mutable {
        auto* dlg = qobject_cast<CConnDevDlg*>(QApplication::activeModalWidget());
        if (!dlg) {
            ADD_FAILURE() << "no connection dialog open";
            return;
        }
        if (cancel) {
            dlg->CancelButton()->click();
            return;
        }
        for (const QString& e : entries) {
            dlg->AddressBox()->setEditText(e);
            dlg->OkButton()->click();
        }
    });
}
}  // namespace

TEST_F(ConnDevDlgTest, PromptRunsTheDialog) {
    CGuiPrompt prompt;
    AnswerNextDialog({"not an address", "10.1.2.3"}, false);
    const auto chosen = prompt.ChooseAddress({"10.9.9.9"});
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(*chosen, "10.1.2.3");
    ASSERT_EQ(messages.size(), 1u);  // the invalid entry was refused first
    EXPECT_EQ(messages[0].caption, "Message");

    AnswerNextDialog({}, true);
    EXPECT_FALSE(prompt.ChooseAddress({"10.9.9.9"}).has_value());
}

TEST_F(ConnDevDlgTest, PromptMessageDefaultsToAppTitle) {
    CGuiPrompt prompt;
    prompt.ShowMessage("hello", "");
    prompt.ShowMessage("world", "Orvel");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].caption, "Brevane");
    EXPECT_EQ(messages[1].caption, "Orvel");
}

TEST(SearchListDlg, OffersRegistryThenCatalogueNamesInOrder) {
    FamilyRegistry::SetOrvelCatalogue({"Orvel - A1", "Orvel - B2"});
    const auto names = CSearchListDlg::OfferedNames();
    const auto& rows = BuiltInFamilies().Rows();
    ASSERT_EQ(names.size(), rows.size() + 2);
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(names[i], rows[i].name);
    EXPECT_EQ(names[rows.size()], "Orvel - A1");
    EXPECT_EQ(names[rows.size() + 1], "Orvel - B2");

    CSearchListDlg dlg({"Tesk - 200", "Orvel - B2"});
    EXPECT_EQ(dlg.List()->count(), static_cast<int>(names.size()));
    EXPECT_EQ(dlg.Checked(), (std::vector<std::string>{"Tesk - 200", "Orvel - B2"}));
    dlg.List()->item(0)->setCheckState(Qt::Checked);
    EXPECT_EQ(dlg.Checked().front(), rows[0].name);
    dlg.SetAllChecked(false);
    EXPECT_TRUE(dlg.Checked().empty());
    FamilyRegistry::SetOrvelCatalogue({});
}

TEST(SetSerialDlg, OkOnlyForTextThatCanBeWritten) {
    CSetSerialDlg dlg(QStringLiteral("Tesk - 100, module index 0"), "TK-OLD-1");
    EXPECT_EQ(dlg.SerialEdit()->text(), "TK-OLD-1");
    const std::vector<std::pair<QString, QString>> refused = {
        {"TK-OLD-1", "current serial number"},
        {"", "empty"},
        {QString(180, 'A'), "at most 179"},
        {"AB\tC", "character 3"},
        {QString::fromUtf8("N\xc3\xa9"), "character 2"},
        {QString::fromUtf8("\xe2\x82\xac"), "character 1"}};
    for (const auto& [text, reason] : refused) {
        dlg.SerialEdit()->setText(text);
        EXPECT_FALSE(dlg.OkButton()->isEnabled()) << text.toStdString();
        EXPECT_TRUE(dlg.ProblemLabel()->text().contains(reason)) << dlg.ProblemLabel()->text().toStdString();
        dlg.OkButton()->click();
        EXPECT_EQ(dlg.result(), QDialog::Rejected);
    }
    for (const QString& text : {QString(179, '~'), QStringLiteral(" "), QStringLiteral("TK-NEW 2")}) {
        dlg.SerialEdit()->setText(text);
        EXPECT_TRUE(dlg.OkButton()->isEnabled()) << dlg.ProblemLabel()->text().toStdString();
        EXPECT_TRUE(dlg.ProblemLabel()->text().isEmpty());
    }
    dlg.OkButton()->click();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.Serial(), "TK-NEW 2");
}
