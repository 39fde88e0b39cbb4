#include <gtest/gtest.h>

#include "families/usb/CComm_Tesk.h"
#include "framework/DeviceInfo.h"
#include "framework/Registry.h"
#include "platform/VersionNote.h"

TEST(Registry, HoldsTheTwentyNineRowsInOrder) {
    const auto& rows = FamilyRegistry::Rows();
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

TEST(Registry, LookupsGoByExactName) {
    EXPECT_EQ(FamilyRegistry::ClassOf("Tesk - 200"), RUNTIME_CLASS(CComm_Tesk200));
    EXPECT_EQ(FamilyRegistry::ClassOf("tesk - 200"), nullptr);
    EXPECT_EQ(FamilyRegistry::WeightOf("Nothing"), 0);
    EXPECT_EQ(FamilyRegistry::WeightOf("Hevra - 5160"), 10);
}

TEST(Registry, OrvelRowCoversCatalogueNamesOnly) {
    FamilyRegistry::SetOrvelCatalogue({"OV-1000", "OV-2000", "OV-1000"});
    EXPECT_TRUE(FamilyRegistry::Covers("OV-2000", "Orvel Series Card"));
    EXPECT_TRUE(FamilyRegistry::Covers("Orvel Series Card", "Orvel Series Card"));
    for (const auto& row : FamilyRegistry::Rows()) {
        if (row.name != "Orvel Series Card") {
            EXPECT_FALSE(FamilyRegistry::Covers("OV-2000", row.name)) << row.name;
        }
    }
    FamilyRegistry::SetOrvelCatalogue({});
    EXPECT_FALSE(FamilyRegistry::Covers("OV-2000", "Orvel Series Card"));
}

TEST(Registry, FactoriesMakeExactlyTheirClassOrNone) {
    auto tesk = CreateFamily(FamilyRegistry::ClassOf("Tesk - 100"));
    ASSERT_TRUE(tesk);
    EXPECT_EQ(tesk->GetRuntimeClass(), RUNTIME_CLASS(CComm_Tesk100));
    EXPECT_TRUE(tesk->IsKindOf(RUNTIME_CLASS(CComm_Tesk)));
    EXPECT_EQ(tesk->GetModuleText(), "Tesk - 100");
    EXPECT_EQ(tesk->GetModuleText(), "Tesk - 100");
    EXPECT_EQ(CreateFamily(FamilyRegistry::ClassOf("Tesk - 200"))->GetModuleText(), "Tesk - 200");
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
