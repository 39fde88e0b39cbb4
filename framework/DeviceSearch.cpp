#include "DeviceSearch.h"

#include <algorithm>
#include <memory>

#include "Registry.h"

std::int32_t TotalSearchWeight(const std::vector<std::string>& searchList) {
    std::int32_t total = 0;
    const std::int32_t orvelWeight = FamilyRegistry::WeightOf(kOrvelRowName);
    for (const auto& name : searchList) {
        total += FamilyRegistry::WeightOf(name);
        if (FamilyRegistry::Covers(name, kOrvelRowName)) total += orvelWeight;
    }
    return total;
}

namespace {
// The search-list name a module of this row is listed under: the first name
// of the list that the row covers.
std::string ListedName(const _DeviceInfo& row, const std::vector<std::string>& searchList) {
    for (const auto& name : searchList)
        if (FamilyRegistry::Covers(name, row.name)) return name;
    return row.name;
}
}  // namespace

std::vector<CDeviceInfo> RunDeviceSearch(const std::vector<std::string>& searchList, SearchSink& sink) {
    std::vector<CDeviceInfo> found;
    sink.ProgressStart(TotalSearchWeight(searchList));

    std::unique_ptr<CCommBase> family;
    for (const auto& row : FamilyRegistry::Rows()) {
        bool covered = std::any_of(searchList.begin(), searchList.end(),
                                   [&](const std::string& n) { return FamilyRegistry::Covers(n, row.name); });
        if (!covered) continue;

        family.reset();
        family = CreateFamily(row.family);
        if (!family) continue;

        if (row.needsTarget == 1) {
            sink.ProgressPause();
            BOOL chosen = family->ChooseTarget();
            sink.ProgressResume();
            if (!chosen) {
                family.reset();
                continue;
            }
        }

        sink.Log("Finding " + row.name + " . . .", true);
        if (!family->Connect()) sink.Log(kNotFoundText, false);

        const std::string listed = ListedName(row, searchList);
        for (std::int32_t j = 0; j < family->GetModuleCount(); ++j) {
            family->SetModuleIndex(j);
            if (!family->OpenModule()) continue;
            IdentityImage image{};
            if (family->ReadEeprom(image.data(), static_cast<std::int32_t>(image.size()))) {
                found.emplace_back(listed, SerialNumberOf(image), j, image);
                sink.ModuleFound(found.back(), family->GetModuleText());
            }
            family->CloseModule();
        }
        family->Disconnect();
    }
    family.reset();
    sink.ProgressStop();
    return found;
}
