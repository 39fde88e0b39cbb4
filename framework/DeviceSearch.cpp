#include "DeviceSearch.h"

#include <algorithm>
#include <memory>

#include "Registry.h"
#include "Wait.h"

namespace {
std::int32_t WeightIn(const std::vector<_DeviceInfo>& rows, const std::string& name) {
    for (const auto& row : rows)
        if (row.name == name) return row.weight;
    return 0;
}
}  // namespace

std::int32_t TotalSearchWeight(const std::vector<_DeviceInfo>& rows, const std::vector<std::string>& searchList) {
    std::int32_t total = 0;
    const std::int32_t orvelWeight = WeightIn(rows, kOrvelRowName);
    for (const auto& name : searchList) {
        total += WeightIn(rows, name);
        if (FamilyRegistry::Covers(name, kOrvelRowName)) total += orvelWeight;
    }
    return total;
}

std::int32_t TotalSearchWeight(const FamilyRegistry& registry, const std::vector<std::string>& searchList) {
    return TotalSearchWeight(registry.Rows(), searchList);
}

namespace {
// The search-list name a module of this row is listed under: the first name
// of the list that the row covers.
std::string ListedName(const _DeviceInfo& row, const std::vector<std::string>& searchList) {
    for (const auto& name : searchList)
        if (FamilyRegistry::Covers(name, row.name)) return name;
    return row.name;
}

// The name a found module is listed under. A row that stands for a whole
// model line (Orvel) lists each module under its own catalogue name, the one
// its module text begins with ("Orvel - CH4 Backbone( 1, 3 )"); otherwise, and
// when the text names no catalogue entry, the search-list name.
std::string ModuleName(const _DeviceInfo& row, const std::string& listed, const std::string& moduleText) {
    if (row.name != kOrvelRowName) return listed;
    std::string best;
    for (const auto& name : FamilyRegistry::OrvelCatalogue()) {
        const bool named = moduleText.compare(0, name.size(), name) == 0 &&
                           (moduleText.size() == name.size() || moduleText[name.size()] == '(');
        if (named && name.size() > best.size()) best = name;
    }
    return best.empty() ? listed : best;
}
}  // namespace

std::vector<CDeviceInfo> RunDeviceSearch(const FamilyRegistry& registry, const std::vector<std::string>& searchList,
                                         SearchSink& sink) {
    return RunDeviceSearch(registry.Rows(), searchList, sink);
}

std::vector<CDeviceInfo> RunDeviceSearch(const std::vector<_DeviceInfo>& rows,
                                         const std::vector<std::string>& searchList, SearchSink& sink) {
    std::vector<CDeviceInfo> found;
    sink.ProgressStart(TotalSearchWeight(rows, searchList));

    std::unique_ptr<CCommBase> family;
    for (const auto& row : rows) {
        if (StopRequested()) break;
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
                // A target choice cut short by a stop still lets the family let go.
                if (StopRequested()) family->Disconnect();
                family.reset();
                continue;
            }
        }
        if (StopRequested()) {
            family->Disconnect();
            break;
        }

        sink.Log("Finding " + row.name + " . . .", true);
        // A connect cut short by a stop has not shown that nothing is there.
        if (!family->Connect() && !StopRequested()) {
            sink.Log(kNotFoundText, false);
            // Not being able to look is not the same as finding nothing: say why.
            if (const std::string problem = family->SearchProblem(); !problem.empty()) {
                sink.Log(problem, true);
                sink.FamilyProblem(row.name, problem);
            }
        }

        const std::string listed = ListedName(row, searchList);
        for (std::int32_t j = 0; !StopRequested() && j < family->GetModuleCount(); ++j) {
            family->SetModuleIndex(j);
            if (!family->OpenModule()) continue;
            IdentityImage image{};
            if (family->ReadEeprom(image.data(), static_cast<std::int32_t>(image.size()))) {
                const std::string text = family->GetModuleText();
                found.emplace_back(ModuleName(row, listed, text), SerialNumberOf(image), j, image);
                sink.ModuleFound(found.back(), text);
            }
            family->CloseModule();
        }
        family->Disconnect();
    }
    family.reset();
    if (StopRequested()) sink.Log(kStoppedText, true);
    sink.ProgressStop();
    return found;
}
