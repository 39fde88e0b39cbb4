#include "DynLib.h"

#include <dlfcn.h>

#include "base/Log.h"

namespace platform {

bool DynLib::Load(const std::string& name) {
    Release();
    m_handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) LOG_DBG("dynlib", "%s not loaded: %s", name.c_str(), ::dlerror());
    return m_handle != nullptr;
}

void DynLib::Release() {
    if (m_handle) ::dlclose(m_handle);
    m_handle = nullptr;
}

void* DynLib::Symbol(const char* name) const {
    return m_handle ? ::dlsym(m_handle, name) : nullptr;
}

}  // namespace platform
