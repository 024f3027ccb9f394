#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

namespace larkpost {

TLpDynamicLibrary::~TLpDynamicLibrary() {
    Unload();
}

bool TLpDynamicLibrary::Load(const std::string& fileName) {
    Unload();
    m_lastError.clear();
    // RTLD_LOCAL: the functions are reached only through Symbol(), never by accident from
    // other code in the process that happens to use the same names.
    m_handle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* why = dlerror();
        m_lastError = why != nullptr ? why : "unknown error";
        return false;
    }
    m_fileName = fileName;
    return true;
}

void TLpDynamicLibrary::Unload() noexcept {
    if (m_handle == nullptr) return;
    dlclose(m_handle);
    m_handle = nullptr;
    m_fileName.clear();
}

void* TLpDynamicLibrary::Symbol(const char* name) const noexcept {
    if (m_handle == nullptr || name == nullptr) return nullptr;
    return dlsym(m_handle, name);
}

std::string LibraryPathIn(const std::string& directory, const std::string& fileName) {
    if (directory.empty()) return fileName;
    if (directory.back() == '/') return directory + fileName;
    return directory + "/" + fileName;
}

}  // namespace larkpost
