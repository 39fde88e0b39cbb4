#include "FamilyLookup.h"

#include <algorithm>

#include "FamilyNames.h"
#include "families/Registry.h"
#include "framework/Registry.h"

namespace cli {

bool KnownName(const std::string& name) {
    if (BuiltInFamilies().Find(name)) return true;
    const auto& cat = FamilyRegistry::OrvelCatalogue();
    return std::find(cat.begin(), cat.end(), name) != cat.end();
}

bool TakesTarget(const std::string& name) {
    const _DeviceInfo* row = BuiltInFamilies().Find(name);
    return !row || row->needsTarget == 1;  // Orvel catalogue names: the Orvel family takes one
}

// Every name a search list may hold: the registry's rows, then the Orvel catalogue.
std::vector<std::string> KnownNames() {
    std::vector<std::string> names;
    for (const auto& row : BuiltInFamilies().Rows()) names.push_back(row.name);
    for (const auto& name : FamilyRegistry::OrvelCatalogue()) names.push_back(name);
    return names;
}

// The registered name a typed family name stands for; false with the error
// (and the close names) when none.
bool ResolveFamilyName(std::string& name, const std::string& command, std::string& error) {
    const auto known = KnownNames();
    if (auto match = familynames::Resolve(name, known)) {
        name = *match;
        return true;
    }
    error = command + ": unknown family \"" + name + "\"";
    const auto close = familynames::Close(name, known);
    if (close.empty()) {
        error += " (see `brevane-cli families`)";
    } else {
        error += "; close names:";
        for (std::size_t i = 0; i < close.size(); ++i) error += (i ? ", \"" : " \"") + close[i] + "\"";
    }
    return false;
}

// Every family that this build has: the rows whose class makes an object.
std::vector<std::string> BuiltFamilies() {
    std::vector<std::string> names;
    for (const auto& row : BuiltInFamilies().Rows())
        if (row.family && row.family->m_pfnCreateObject) names.push_back(row.name);
    return names;
}

}  // namespace cli
