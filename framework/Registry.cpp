#include "Registry.h"

#include <algorithm>
#include <mutex>

// The rows themselves are the families' table (families/Registry.cpp), handed
// in at construction; the framework keeps only the lookups over them.

const _DeviceInfo* FamilyRegistry::Find(const std::string& name) const {
    const auto& rows = m_rows;
    auto it = std::find_if(rows.begin(), rows.end(), [&](const _DeviceInfo& r) { return r.name == name; });
    return it == rows.end() ? nullptr : &*it;
}

const CRuntimeClass* FamilyRegistry::ClassOf(const std::string& name) const {
    const _DeviceInfo* row = Find(name);
    return row ? row->family : nullptr;
}

std::int32_t FamilyRegistry::WeightOf(const std::string& name) const {
    const _DeviceInfo* row = Find(name);
    return row ? row->weight : 0;
}

namespace {
// The catalogue is replaced by the window's thread and read by the search on
// the worker: every access holds the lock.
std::mutex g_catalogueLock;
std::vector<std::string>& Catalogue() {
    static std::vector<std::string> names;
    return names;
}
}  // namespace

bool FamilyRegistry::Covers(const std::string& model, const std::string& regName) {
    if (model == regName) return true;
    if (regName != kOrvelRowName) return false;
    std::lock_guard<std::mutex> hold(g_catalogueLock);
    const auto& cat = Catalogue();
    return std::find(cat.begin(), cat.end(), model) != cat.end();
}

std::vector<std::string> FamilyRegistry::OrvelCatalogue() {
    std::lock_guard<std::mutex> hold(g_catalogueLock);
    return Catalogue();
}

void FamilyRegistry::SetOrvelCatalogue(std::vector<std::string> names) {
    std::lock_guard<std::mutex> hold(g_catalogueLock);
    Catalogue() = std::move(names);
}

std::unique_ptr<CCommBase> CreateFamily(const CRuntimeClass* cls) {
    if (!cls) return nullptr;
    CObject* object = cls->CreateObject();
    if (!object) return nullptr;
    if (auto* family = dynamic_cast<CCommBase*>(object)) return std::unique_ptr<CCommBase>(family);
    delete object;
    return nullptr;
}
