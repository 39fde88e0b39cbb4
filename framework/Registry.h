#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CCommBase.h"

// One row of the family registry.
struct _DeviceInfo {
    std::string name;               // display name, unique, compared exactly
    const CRuntimeClass* family;    // class record whose factory makes the family object
    std::int32_t weight;            // progress steps of 200 ms per module
    std::int32_t needsTarget;       // 1 when ChooseTarget must run before Connect
};

// Display name of the row that stands for the whole Orvel chassis line.
inline constexpr const char* kOrvelRowName = "Orvel Series Card";

class FamilyRegistry {
public:
    // The rows in registry order; built once, kept for the life of the process.
    static const std::vector<_DeviceInfo>& Rows();

    // Lookups by display name: first match in registry order.
    static const CRuntimeClass* ClassOf(const std::string& name);
    static std::int32_t WeightOf(const std::string& name);
    static const _DeviceInfo* Find(const std::string& name);

    // TRUE when the model name belongs to the registry row named regName.
    static bool Covers(const std::string& model, const std::string& regName);

    // Process-wide Orvel model catalogue (display names in catalogue order), a
    // copy: the catalogue may be replaced while a search reads it.
    static std::vector<std::string> OrvelCatalogue();
    static void SetOrvelCatalogue(std::vector<std::string> names);
    // Builds the catalogue from a temporary Orvel family object.
    static void BuildOrvelCatalogue();
};

// Makes a family object from a class record; nullptr when it yields none.
std::unique_ptr<CCommBase> CreateFamily(const CRuntimeClass* cls);
