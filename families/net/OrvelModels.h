#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The Orvel model catalogue and the library entries each model code reaches.
namespace orvel {

#pragma pack(push, 1)
struct _portinfo {
    std::uint16_t chassis;
    std::uint8_t slot;
    std::uint8_t port;
    std::uint8_t model;
    std::uint8_t subItem;
    std::uint8_t extra;
};
#pragma pack(pop)
static_assert(sizeof(_portinfo) == 7);

struct ModelEntry {
    std::uint8_t code;
    const char* name;  // "family word - model"
    std::uint8_t secondItem;
    std::uint8_t sharedModule;
    std::uint8_t chassisPart;
    std::uint8_t lite;
    std::uint8_t locationBlock;
    std::uint8_t portModule;
};

// The 60 catalogue rows in catalogue order.
const std::vector<ModelEntry>& Catalogue();
// First entry with this code; nullptr when the code is not catalogued.
const ModelEntry* FirstWithCode(std::uint8_t code);
// First entry with this code whose second-item flag equals subItem.
const ModelEntry* FirstWithCode(std::uint8_t code, std::uint8_t subItem);
bool HasSecondItem(std::uint8_t code);

inline constexpr std::uint8_t kTrafficGenerator = 200;

// How a model code's own library pair is called.
enum class PairKind { None, StandAlone, ChassisPart, LocationBlock, SharedExtra };
struct ModelPair {
    PairKind kind;
    std::string read;    // entry names; empty when the kind has none
    std::string write;
    std::string buffer;  // the exported buffer of the pair
};
ModelPair PairOf(std::uint8_t code);
// The shared pair that serves every model with the shared-module flag.
ModelPair SharedPair();

// "( c, s, p )" for the traffic generator, else "( c, s )".
std::string Identifier(const _portinfo& p);

}  // namespace orvel
