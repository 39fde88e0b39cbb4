#include "OrvelModels.h"

#include <cstdio>

namespace orvel {

namespace {
// code, name, second item, shared module, chassis part, lite, location block, port module
const std::vector<ModelEntry> kCatalogue = {
    {43, "Orvel - LB430 Card", 0, 0, 0, 0, 1, 1},
    {44, "Orvel - LB440 Card", 0, 0, 0, 0, 1, 1},
    {45, "Orvel - LB450 Card", 0, 0, 0, 0, 1, 1},
    {46, "Orvel - LB460 Card", 0, 0, 0, 0, 1, 1},
    {48, "Orvel - CH4 Backbone", 0, 0, 1, 0, 0, 0},
    {48, "Orvel - CH4 Power", 1, 0, 1, 0, 0, 0},
    {49, "Orvel - GX49 Card", 0, 0, 0, 0, 0, 1},
    {50, "Orvel - CH8 Backbone", 0, 0, 1, 0, 0, 0},
    {50, "Orvel - CH8 Power", 1, 0, 1, 0, 0, 0},
    {51, "Orvel - GX51 Card", 0, 0, 0, 0, 0, 1},
    {51, "Orvel - GX51F Card", 0, 0, 0, 0, 0, 1},
    {52, "Orvel - SM52 Card", 0, 1, 0, 0, 0, 1},
    {53, "Orvel - SM53 Card", 0, 1, 0, 0, 0, 1},
    {54, "Orvel - SM54 Card", 0, 1, 0, 0, 0, 1},
    {55, "Orvel - SM55 Card", 0, 1, 0, 0, 0, 1},
    {56, "Orvel - GX56 Card", 0, 0, 0, 0, 0, 1},
    {56, "Orvel - GX56-2 Card", 0, 0, 0, 0, 0, 1},
    {56, "Orvel - GX56-4 Card", 0, 0, 0, 0, 0, 1},
    {56, "Orvel - GX56-8 Card", 0, 0, 0, 0, 0, 1},
    {57, "Orvel - SM57 Card", 0, 1, 0, 0, 0, 1},
    {58, "Orvel - SM58 Card", 0, 1, 0, 0, 0, 1},
    {59, "Orvel - SM59 Card", 0, 1, 0, 0, 0, 1},
    {60, "Orvel - SM60 Card", 0, 1, 0, 0, 0, 1},
    {61, "Orvel - SM61 Card", 0, 1, 0, 0, 0, 1},
    {62, "Orvel - SM62 Card", 0, 1, 0, 0, 0, 1},
    {63, "Orvel - SM63 Card", 0, 1, 0, 0, 0, 1},
    {64, "Orvel - SM64 Card", 0, 1, 0, 0, 0, 1},
    {65, "Orvel - SM65 Card", 0, 1, 0, 0, 0, 1},
    {66, "Orvel - SM66 Card", 0, 1, 0, 0, 0, 1},
    {67, "Orvel - SM67 Card", 0, 1, 0, 0, 0, 1},
    {68, "Orvel - SM68 Card", 0, 1, 0, 0, 0, 1},
    {69, "Orvel - FX69 Card", 0, 0, 0, 0, 0, 1},
    {69, "Orvel - FX69 Lite Card", 0, 0, 0, 1, 0, 1},
    {70, "Orvel - SM70 Card", 0, 1, 0, 0, 0, 1},
    {71, "Orvel - SM71 Card", 0, 1, 0, 0, 0, 1},
    {72, "Orvel - SM72 Card", 0, 1, 0, 0, 0, 1},
    {73, "Orvel - SM73 Card", 0, 1, 0, 0, 0, 1},
    {74, "Orvel - SM74 Lite Card", 0, 1, 0, 1, 0, 1},
    {75, "Orvel - SM75 Card", 0, 1, 0, 0, 0, 1},
    {76, "Orvel - SM76 Card", 0, 1, 0, 0, 0, 1},
    {77, "Orvel - SM77 Card", 0, 1, 0, 0, 0, 1},
    {78, "Orvel - SM78 Card", 0, 1, 0, 0, 0, 1},
    {84, "Orvel - PX84 Card", 0, 1, 0, 0, 0, 1},
    {87, "Orvel - PX87 Card", 0, 1, 0, 0, 0, 1},
    {88, "Orvel - PX88 Card", 0, 1, 0, 0, 0, 1},
    {92, "Orvel - CH8 Fan Unit", 0, 0, 1, 0, 1, 0},
    {93, "Orvel - CH16 Fan Unit", 0, 0, 1, 0, 1, 0},
    {94, "Orvel - CHM Fan Unit", 0, 0, 1, 0, 1, 0},
    {95, "Orvel - CH16 Backbone", 0, 0, 1, 0, 0, 0},
    {95, "Orvel - CH16 Power", 1, 0, 1, 0, 0, 0},
    {96, "Orvel - CHM Backbone", 0, 0, 1, 0, 0, 0},
    {96, "Orvel - CHM Display", 1, 0, 1, 0, 0, 0},
    {100, "Orvel - PX100 Card", 0, 1, 0, 0, 0, 1},
    {101, "Orvel - PX101 Card", 0, 1, 0, 0, 0, 1},
    {102, "Orvel - PX102 Lite Card", 0, 1, 0, 1, 0, 1},
    {128, "Orvel - GX128 Card", 0, 0, 0, 0, 0, 1},
    {128, "Orvel - GX128F Card", 0, 0, 0, 0, 0, 1},
    {129, "Orvel - CHX Backbone", 0, 0, 1, 0, 0, 0},
    {129, "Orvel - CHX Power", 1, 0, 1, 0, 0, 0},
    {200, "Orvel - TG200 Traffic Generator", 0, 0, 0, 0, 0, 1},
};

struct PairRow {
    std::uint8_t code;
    PairKind kind;
    const char* model;
};
const PairRow kPairs[] = {
    {49, PairKind::StandAlone, "GX49"},    {51, PairKind::StandAlone, "GX51"},    {56, PairKind::StandAlone, "GX56"},
    {69, PairKind::StandAlone, "FX69"},    {128, PairKind::StandAlone, "GX128"},  {200, PairKind::StandAlone, "TG200"},
    {48, PairKind::ChassisPart, "CH4"},    {50, PairKind::ChassisPart, "CH8"},    {95, PairKind::ChassisPart, "CH16"},
    {96, PairKind::ChassisPart, "CHM"},    {129, PairKind::ChassisPart, "CHX"},   {43, PairKind::LocationBlock, "LB430"},
    {44, PairKind::LocationBlock, "LB440"}, {45, PairKind::LocationBlock, "LB450"}, {46, PairKind::LocationBlock, "LB460"},
    {92, PairKind::LocationBlock, "FAN8"}, {93, PairKind::LocationBlock, "FAN16"}, {94, PairKind::LocationBlock, "FANM"},
    {84, PairKind::SharedExtra, "PX84"},   {87, PairKind::SharedExtra, "PX87"},   {88, PairKind::SharedExtra, "PX88"},
    {100, PairKind::SharedExtra, "PX100"}, {101, PairKind::SharedExtra, "PX101"}, {102, PairKind::SharedExtra, "PX102"},
};
}  // namespace

const std::vector<ModelEntry>& Catalogue() { return kCatalogue; }

const ModelEntry* FirstWithCode(std::uint8_t code) {
    for (const auto& e : kCatalogue)
        if (e.code == code) return &e;
    return nullptr;
}

const ModelEntry* FirstWithCode(std::uint8_t code, std::uint8_t subItem) {
    for (const auto& e : kCatalogue)
        if (e.code == code && e.secondItem == subItem) return &e;
    return nullptr;
}

bool HasSecondItem(std::uint8_t code) { return FirstWithCode(code, 1) != nullptr; }

ModelPair PairOf(std::uint8_t code) {
    for (const auto& p : kPairs) {
        if (p.code != code) continue;
        const std::string m = p.model;
        switch (p.kind) {
        case PairKind::StandAlone:
        case PairKind::ChassisPart:
            return {p.kind, "Zel_" + m + "_93C56_Read", "Zel_" + m + "_93C56_Write", m + "_eeprom_93c56"};
        case PairKind::LocationBlock: return {p.kind, "Zel_" + m + "_EEPROMRead", "Zel_" + m + "_EEPROMWrite", m + "_eeprom"};
        case PairKind::SharedExtra: return {p.kind, "", "Zel_" + m + "_EEPROMWrite", m + "_eeprom"};
        case PairKind::None: break;
        }
    }
    return {PairKind::None, "", "", ""};
}

ModelPair SharedPair() {
    return {PairKind::StandAlone, "Zel_Module_93C56_Read", "Zel_Module_93C56_Write", "Module_eeprom_93c56"};
}

std::string Identifier(const _portinfo& p) {
    char text[48];
    if (p.model == kTrafficGenerator)
        std::snprintf(text, sizeof text, "( %u, %u, %u )", unsigned{p.chassis}, unsigned{p.slot}, unsigned{p.port});
    else
        std::snprintf(text, sizeof text, "( %u, %u )", unsigned{p.chassis}, unsigned{p.slot});
    return text;
}

}  // namespace orvel
