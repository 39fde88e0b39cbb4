// The card-selection view: rows and columns from the model, the mode controls,
// refusals shown while the dialog stays open, the accepted pick.
#include <QGroupBox>
#include <QHeaderView>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include "TestHooks.h"
#include "app/CCardSelView.h"

namespace {

// Refuses no selection and, in mode 0, any row past the second.
class ScriptedSelection : public ICardSelection {
public:
    ScriptedSelection(int rows, bool modeControls) : m_rows(rows), m_modeControls(modeControls) {}
    std::string Title() const override { return "Scripted Card Select"; }
    std::vector<std::string> Columns() const override { return {"No.", "Slot ID", "Card Type"}; }
    std::vector<int> ColumnWidths() const override { return {50, 80, 125}; }
    int RowCount() const override { return m_rows; }
    std::vector<std::string> Row(int row) const override {
        return {std::to_string(row + 1), row == 0 ? "n/a" : std::to_string(row + 2), "Type " + std::to_string(row)};
    }
    bool ShowsModeControls() const override { return m_modeControls; }
    std::string ModeNote() const override { return "Only one card in mode 0."; }
    int InitialMode() const override { return m_modeControls ? 0 : 1; }
    std::string Accept(int row, int mode) override {
        calls.push_back({row, mode});
        if (row < 0) return "Pick one!";
        if (mode == 0 && row > 1) return "Not in mode 0!";
        accepted = {row, mode};
        return {};
    }
    std::vector<std::pair<int, int>> calls;
    std::pair<int, int> accepted{-1, -1};

private:
    int m_rows;
    bool m_modeControls;
};

using CardSelViewTest = HookedTest;

TEST_F(CardSelViewTest, RowsColumnsAndRefusals) {
    ScriptedSelection model(3, true);
    CCardSelView dlg(model);
    dlg.show();
    EXPECT_EQ(dlg.windowTitle(), "Scripted Card Select");
    QTreeWidget* list = dlg.List();
    ASSERT_EQ(list->topLevelItemCount(), 3);
    EXPECT_EQ(list->headerItem()->text(1), "Slot ID");
    EXPECT_EQ(list->columnWidth(2), 125);
    EXPECT_EQ(list->topLevelItem(0)->text(1), "n/a");
    EXPECT_EQ(list->topLevelItem(2)->text(1), "4");
    EXPECT_TRUE(dlg.ModeGroup()->isVisible());
    EXPECT_TRUE(dlg.InitializeButton()->isChecked());

    dlg.OkButton()->click();  // nothing selected
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Pick one!");
    EXPECT_TRUE(dlg.isVisible());

    list->setCurrentItem(list->topLevelItem(2));
    dlg.OkButton()->click();  // refused in mode 0
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].text, "Not in mode 0!");
    EXPECT_TRUE(dlg.isVisible());

    dlg.ModifyButton()->setChecked(true);
    dlg.OkButton()->click();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(model.accepted, std::make_pair(2, 1));
}

TEST_F(CardSelViewTest, HiddenModeControlsUseTheModelsMode) {
    ScriptedSelection model(2, false);
    CCardSelView dlg(model);
    dlg.show();
    EXPECT_FALSE(dlg.ModeGroup()->isVisible());
    dlg.List()->setCurrentItem(dlg.List()->topLevelItem(1));
    dlg.OkButton()->click();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(model.accepted, std::make_pair(1, 1));
}

TEST_F(CardSelViewTest, EmptyListEndsAsCancelled) {
    ScriptedSelection model(0, true);
    CCardSelView dlg(model);
    EXPECT_EQ(dlg.exec(), QDialog::Rejected);
    EXPECT_TRUE(model.calls.empty());
}

}  // namespace

#include <QCheckBox>
#include <QComboBox>

#include "app/CWriteImageDlg.h"

namespace {

TEST(WriteImageDlg, CardDialogIsOfferedForChassisFamiliesOnly) {
    CWriteImageDlg dlg("Gostel - 2160", 0, nullptr);
    QCheckBox* viaCard = dlg.CardSelectionBox();
    EXPECT_TRUE(viaCard->isEnabled());
    viaCard->setChecked(true);
    EXPECT_TRUE(dlg.ViaCardSelection());

    dlg.FamilyBox()->setCurrentText("Tesk - 100");
    EXPECT_FALSE(viaCard->isEnabled());
    EXPECT_FALSE(dlg.ViaCardSelection());

    dlg.FamilyBox()->setCurrentText("Hevra - 5160");
    EXPECT_TRUE(viaCard->isEnabled());
    EXPECT_FALSE(dlg.ViaCardSelection());  // unchecked when it was disabled
}

}  // namespace
