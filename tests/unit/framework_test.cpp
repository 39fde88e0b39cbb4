#include <gtest/gtest.h>

#include <iterator>

#include "families/usb/CComm_Tesk.h"
#include "framework/DeviceInfo.h"
#include "families/Registry.h"
#include "framework/Registry.h"
#include "platform/VersionNote.h"

TEST(Registry, HoldsTheTwentyNineRowsInOrder) {
    const auto& rows = BuiltInFamilies().Rows();
    ASSERT_EQ(rows.size(), 29u);
    EXPECT_EQ(rows.front().name, "Yaltro");
    EXPECT_EQ(rows.front().weight, 70);
    EXPECT_EQ(rows[7].name, "Tesk - 100");
    EXPECT_EQ(rows[27].name, "Orvel Series Card");
    EXPECT_EQ(rows[27].needsTarget, 1);
    EXPECT_EQ(rows.back().name, "OEM - Nesbin");
    int targets = 0;
    for (const auto& r : rows) targets += r.needsTarget;
    EXPECT_EQ(targets, 4);  // Gostel, Hevra, Jessor, Orvel
}

TEST(Registry, EveryRowNameClassWeightAndTargetFlag) {
    struct Row {
        const char* name;
        const char* className;
        int weight;
        int needsTarget;
    };
    const Row expected[] = {
        {"Yaltro", "CComm_Yaltro", 70, 0},
        {"Olvenna", "CComm_Olvenna", 2, 0},
        {"Pirrel - 4U", "CComm_Pirrel", 2, 0},
        {"Kalder - 8S33", "CComm_Kalder", 2, 0},
        {"Gostel - 2160", "CComm_Gostel2160", 10, 1},
        {"Hevra - 5160", "CComm_Hevra5160", 10, 1},
        {"Ilvane - Jessor", "CComm_Jessor", 5, 1},
        {"Tesk - 100", "CComm_Tesk100", 2, 0},
        {"Tesk - 200", "CComm_Tesk200", 2, 0},
        {"Tesk - 300", "CComm_Tesk300", 2, 0},
        {"Harlo - 101", "CComm_Harlo101", 5, 0},
        {"Harlo - 301", "CComm_Harlo301", 5, 0},
        {"Harlo - 801", "CComm_Harlo801", 5, 0},
        {"Harlo - 802", "CComm_Harlo802", 5, 0},
        {"Quissel - 501", "CComm_Quissel501", 2, 0},
        {"Quissel - 551", "CComm_Quissel551", 2, 0},
        {"Dravik - 100", "CComm_Dravik", 2, 0},
        {"Brantle - 302", "CComm_Brantle302", 2, 0},
        {"Brantle - 303", "CComm_Brantle303", 2, 0},
        {"Brantle - 311", "CComm_Brantle311", 2, 0},
        {"Brantle - S61", "CComm_BrantleS61", 2, 0},
        {"Pembrix - Evra", "CComm_Evra", 2, 0},
        {"Pembrix - Alda", "CComm_Alda", 2, 0},
        {"Pembrix - Alda+", "CComm_Alda2", 2, 0},
        {"Pembrix - Brisa", "CComm_Brisa", 2, 0},
        {"Pembrix - Dorla", "CComm_Dorla", 2, 0},
        {"Pembrix - Cygna", "CComm_Cygna", 2, 0},
        {"Orvel Series Card", "CComm_Orvel", 50, 1},
        {"OEM - Nesbin", "CComm_Nesbin", 5, 0},
    };
    const auto& rows = BuiltInFamilies().Rows();
    ASSERT_EQ(rows.size(), std::size(expected));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].name, expected[i].name) << "row " << i + 1;
        ASSERT_NE(rows[i].family, nullptr) << expected[i].name;
        EXPECT_STREQ(rows[i].family->m_lpszClassName, expected[i].className) << expected[i].name;
        EXPECT_EQ(rows[i].weight, expected[i].weight) << expected[i].name;
        EXPECT_EQ(rows[i].needsTarget, expected[i].needsTarget) << expected[i].name;
    }
}

TEST(Registry, LookupsGoByExactName) {
    EXPECT_EQ(BuiltInFamilies().ClassOf("Tesk - 200"), RUNTIME_CLASS(CComm_Tesk200));
    EXPECT_EQ(BuiltInFamilies().ClassOf("tesk - 200"), nullptr);
    EXPECT_EQ(BuiltInFamilies().WeightOf("Nothing"), 0);
    EXPECT_EQ(BuiltInFamilies().WeightOf("Hevra - 5160"), 10);
}

TEST(Registry, OrvelRowCoversCatalogueNamesOnly) {
    FamilyRegistry::SetOrvelCatalogue({"OV-1000", "OV-2000", "OV-1000"});
    EXPECT_TRUE(FamilyRegistry::Covers("OV-2000", "Orvel Series Card"));
    EXPECT_TRUE(FamilyRegistry::Covers("Orvel Series Card", "Orvel Series Card"));
    for (const auto& row : BuiltInFamilies().Rows()) {
        if (row.name != "Orvel Series Card") {
            EXPECT_FALSE(FamilyRegistry::Covers("OV-2000", row.name)) << row.name;
        }
    }
    FamilyRegistry::SetOrvelCatalogue({});
    EXPECT_FALSE(FamilyRegistry::Covers("OV-2000", "Orvel Series Card"));
}

TEST(Registry, FactoriesMakeExactlyTheirClassOrNone) {
    auto tesk = CreateFamily(BuiltInFamilies().ClassOf("Tesk - 100"));
    ASSERT_TRUE(tesk);
    EXPECT_EQ(tesk->GetRuntimeClass(), RUNTIME_CLASS(CComm_Tesk100));
    EXPECT_TRUE(tesk->IsKindOf(RUNTIME_CLASS(CComm_Tesk)));
    EXPECT_EQ(tesk->GetModuleText(), "Tesk - 100");
    EXPECT_EQ(tesk->GetModuleText(), "Tesk - 100");
    EXPECT_EQ(CreateFamily(BuiltInFamilies().ClassOf("Tesk - 200"))->GetModuleText(), "Tesk - 200");
    const CRuntimeClass unbuilt = {"CComm_Unbuilt", nullptr, &CCommBase::classCCommBase};
    EXPECT_EQ(CreateFamily(&unbuilt), nullptr);
    EXPECT_EQ(CreateFamily(nullptr), nullptr);
}

TEST(Registry, FamilyDefaults) {
    auto tesk = CreateFamily(RUNTIME_CLASS(CComm_Tesk100));
    EXPECT_EQ(tesk->GetAddress(), "");
    tesk->SetAddress("10.0.0.1");
    EXPECT_EQ(tesk->GetAddress(), "");
    EXPECT_EQ(tesk->GetReadTime(), 400);
    EXPECT_EQ(tesk->GetWriteTime(), 1000);
    EXPECT_TRUE(tesk->ChooseTarget());
}

TEST(IdentityImage, SerialNumberIsBoundedByTheImage) {
    IdentityImage image{};
    EXPECT_EQ(SerialNumberOf(image), "");
    std::fill(image.begin(), image.end(), 'A');
    EXPECT_EQ(SerialNumberOf(image).size(), 180u);
    image[80] = 0;
    EXPECT_EQ(SerialNumberOf(image), "AAAA");
    EXPECT_EQ(SerialNumberOf(std::span<const std::uint8_t>(image.data(), 50)), "");
}

TEST(IdentityImage, DeviceInfoCopiesAreIndependent) {
    IdentityImage image{};
    image[76] = 'X';
    CDeviceInfo a("Tesk - 100", "X", 2, image);
    CDeviceInfo b = a;
    b.m_image[76] = 'Y';
    EXPECT_EQ(a.m_image[76], 'X');
    EXPECT_EQ(b.m_moduleIndex, 2);
    EXPECT_EQ(b.m_found, 1);
}

TEST(VersionNote, RunningProgramCarriesItsVersion) {
    EXPECT_EQ(platform::ProductVersionOfRunningProgram(), BREVANE_PRODUCT_VERSION);
    EXPECT_EQ(platform::ProductVersionOfFile("/bin/sh"), "");
    EXPECT_EQ(platform::ProductVersionOfFile("/nonexistent"), "");
}
