#pragma once
#include <string>

namespace platform {

// A shared library loaded by name at run time.
class DynLib {
public:
    DynLib() = default;
    explicit DynLib(const std::string& name) { Load(name); }
    ~DynLib() { Release(); }
    DynLib(const DynLib&) = delete;
    DynLib& operator=(const DynLib&) = delete;

    bool Load(const std::string& name);
    void Release();
    bool IsLoaded() const { return m_handle != nullptr; }
    // Address of an entry point, or nullptr when missing.
    void* Symbol(const char* name) const;

    template <typename Fn>
    Fn Entry(const char* name) const {
        return reinterpret_cast<Fn>(Symbol(name));
    }

private:
    void* m_handle = nullptr;
};

}  // namespace platform
