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

// The family registry: the rows in search order and the lookups over them.
// The table itself belongs to the families (families/Registry.h builds the
// one of this build); the framework gets it handed in, so that the search
// and the write path never reach up for it.
class FamilyRegistry {
public:
    explicit FamilyRegistry(std::vector<_DeviceInfo> rows) : m_rows(std::move(rows)) {}

    // The rows in registry order.
    const std::vector<_DeviceInfo>& Rows() const { return m_rows; }

    // Lookups by display name: first match in registry order.
    const CRuntimeClass* ClassOf(const std::string& name) const;
    std::int32_t WeightOf(const std::string& name) const;
    const _DeviceInfo* Find(const std::string& name) const;

    // TRUE when the model name belongs to the registry row named regName.
    static bool Covers(const std::string& model, const std::string& regName);

    // Process-wide Orvel model catalogue (display names in catalogue order), a
    // copy: the catalogue may be replaced while a search reads it.
    static std::vector<std::string> OrvelCatalogue();
    static void SetOrvelCatalogue(std::vector<std::string> names);

private:
    std::vector<_DeviceInfo> m_rows;
};

// Makes a family object from a class record; nullptr when it yields none.
std::unique_ptr<CCommBase> CreateFamily(const CRuntimeClass* cls);
