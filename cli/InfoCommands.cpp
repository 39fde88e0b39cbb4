// The commands that only tell: families (the registry) and show (an image file).
#include <cstdio>

#include "Commands.h"
#include "Json.h"
#include "Output.h"
#include "framework/ImageText.h"
#include "framework/ModuleIo.h"
#include "families/Registry.h"
#include "framework/Registry.h"

namespace cli {

int CmdFamilies(const Options& o) {
    if (!o.positional.empty()) return Fail(kExitUsage, "families: unexpected argument \"" + o.positional[0] + "\"");
    if (o.json) {
        std::string out = "{\"ok\":true,\"families\":[";
        bool firstRow = true;
        for (const auto& row : BuiltInFamilies().Rows()) {
            const bool built = row.family && row.family->m_pfnCreateObject;
            out += firstRow ? "" : ",";
            firstRow = false;
            out += "{\"name\":" + JsonString(row.name) + ",\"weight\":" + std::to_string(row.weight) +
                   ",\"needsTarget\":" + (row.needsTarget ? "true" : "false") +
                   ",\"available\":" + (built ? "true" : "false") + "}";
        }
        out += "],\"orvelCatalogue\":[";
        const auto& cat = FamilyRegistry::OrvelCatalogue();
        for (std::size_t i = 0; i < cat.size(); ++i) out += (i ? "," : "") + JsonString(cat[i]);
        std::printf("%s]}\n", out.c_str());
        return kExitOk;
    }
    for (const auto& row : BuiltInFamilies().Rows()) {
        const bool built = row.family && row.family->m_pfnCreateObject;
        std::printf("%-20s weight %-3d%s%s\n", row.name.c_str(), row.weight, row.needsTarget ? " needs-target" : "",
                    built ? "" : " (not available in this build)");
    }
    for (const auto& name : FamilyRegistry::OrvelCatalogue()) std::printf("%-20s (Orvel catalogue)\n", name.c_str());
    return kExitOk;
}

int CmdShow(const Options& o) {
    if (o.family || o.module || o.card || o.mode || !o.expectSerial.empty() || o.output || o.backupDir)
        return Fail(kExitUsage, "show: takes only an image FILE");
    if (o.positional.size() != 1) return Fail(kExitUsage, "show: give exactly one image FILE");
    std::string error;
    auto image = moduleio::LoadImageFile(o.positional[0], error);
    if (!image) return Fail(kExitUsage, "show: " + error);
    if (o.json)
        std::printf("{\"ok\":true,\"serial\":%s,\"image\":\"%s\"}\n", JsonString(SerialNumberOf(*image)).c_str(),
                    Hex(*image).c_str());
    else
        std::fputs(FormatImageView(*image).c_str(), stdout);
    return kExitOk;
}

}  // namespace cli
