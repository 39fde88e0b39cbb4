#include <gtest/gtest.h>

#include "families/net/CardSelDlg.h"

namespace {
std::vector<ChassisCard> GostelChassis() { return {{0, 0x2160}, {1, 0xA021}, {3, 0xC022}, {6, 0x1234}, {9, 0xD001}}; }
}  // namespace

TEST(GostelCardSel, RowsColumnsAndTexts) {
    CGostelCardSelDlg dlg(GostelChassis(), 0);
    EXPECT_EQ(dlg.Title(), "Mervo Series Card Select");
    EXPECT_EQ(dlg.Columns(), (std::vector<std::string>{"No.", "Slot ID", "Card Type"}));
    EXPECT_EQ(dlg.ColumnWidths(), (std::vector<int>{50, 80, 125}));
    ASSERT_EQ(dlg.RowCount(), 5);
    EXPECT_EQ(dlg.Row(0)[0], "1");
    EXPECT_EQ(dlg.Row(0)[1], "n/a");
    EXPECT_EQ(dlg.Row(1), (std::vector<std::string>{"2", "3", dlg.Row(1)[2]}));
    EXPECT_EQ(dlg.Row(2)[1], "5");
    EXPECT_EQ(dlg.Row(3)[2], "Unknown");
    EXPECT_EQ(dlg.Row(4)[2], "");
    EXPECT_EQ(dlg.Row(4)[1], "11");
    EXPECT_TRUE(dlg.Row(5).empty());
    EXPECT_EQ(dlg.ModeNote(), "If you select Initialize Mode,You MUST insert olny one sub-card in Gostel - 2160.");
}

TEST(GostelCardSel, InitializeAllowsOnlyTheFirstTwoRows) {
    CGostelCardSelDlg dlg(GostelChassis(), 0);
    EXPECT_TRUE(dlg.ShowsModeControls());
    EXPECT_EQ(dlg.InitialMode(), 0);
    EXPECT_EQ(dlg.Accept(-1, 0), "Please select a card!");
    EXPECT_EQ(dlg.Accept(7, 0), "Please select a card!");
    EXPECT_FALSE(dlg.Result());
    EXPECT_EQ(dlg.Accept(2, 0), "Under Initialize mode,You MUST insert olny one sub-card in Gostel - 2160.");
    EXPECT_FALSE(dlg.Result());
    EXPECT_EQ(dlg.Accept(1, 0), "");
    ASSERT_TRUE(dlg.Result());
    EXPECT_EQ(dlg.Result()->slot, 1);
    EXPECT_EQ(dlg.Result()->cardType, 0xA021);
    EXPECT_EQ(dlg.Result()->row, 1);
    EXPECT_EQ(dlg.Result()->mode, 0u);
    EXPECT_EQ(dlg.Result()->typeText, dlg.Row(1)[2]);
}

TEST(GostelCardSel, ModifyAllowsAnyRow) {
    CGostelCardSelDlg dlg(GostelChassis(), 0);
    EXPECT_EQ(dlg.Accept(2, 1), "");
    ASSERT_TRUE(dlg.Result());
    EXPECT_EQ(dlg.Result()->slot, 3);
    EXPECT_EQ(dlg.Result()->mode, 1u);
    // The controller row: "n/a" reads as 0, so its slot number is -2.
    EXPECT_EQ(dlg.Accept(0, 1), "");
    EXPECT_EQ(dlg.Result()->slot, -2);
    EXPECT_EQ(dlg.Result()->cardType, 0x2160);
}

TEST(GostelCardSel, NonZeroModeWordHidesTheControlsAndModifyApplies) {
    CGostelCardSelDlg dlg(GostelChassis(), 1);
    EXPECT_FALSE(dlg.ShowsModeControls());
    EXPECT_EQ(dlg.InitialMode(), 1);
    // Whatever mode a front end passes, the hidden controls mean Modify.
    EXPECT_EQ(dlg.Accept(3, 0), "");
    EXPECT_EQ(dlg.Result()->mode, 1u);
}

TEST(GostelCardSel, EmptyList) {
    CGostelCardSelDlg dlg({}, 0);
    EXPECT_EQ(dlg.RowCount(), 0);
    EXPECT_EQ(dlg.Accept(0, 0), "Please select a card!");
    DefaultPrompt prompt;
    EXPECT_FALSE(prompt.ChooseCard(dlg));
}

TEST(HevraCardSel, RowsWithoutModeControls) {
    CHevraCardSelDlg dlg({{0, 0x1428}, {0, 0xD001}, {2, 0xD001}, {5, 0xBEEF}});
    EXPECT_EQ(dlg.Title(), "Hevra Series Card Select");
    EXPECT_FALSE(dlg.ShowsModeControls());
    EXPECT_EQ(dlg.Row(0)[1], "n/a");
    EXPECT_EQ(dlg.Row(1)[1], "2");
    EXPECT_EQ(dlg.Row(2)[1], "4");
    EXPECT_EQ(dlg.Row(3)[2], "Unknown");
    EXPECT_EQ(dlg.Accept(-1, 0), "Please select a card!");
    EXPECT_EQ(dlg.Accept(3, 0), "");
    EXPECT_EQ(dlg.Result()->slot, 5);
    EXPECT_EQ(dlg.Result()->row, 3);
    EXPECT_EQ(dlg.Result()->cardType, 0xBEEF);
}
