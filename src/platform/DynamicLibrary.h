// Run-time loading of shared libraries by file name and lookup of their functions (dlopen/dlsym).
#pragma once

#include <string>

namespace larkpost {

// One loaded shared object. Loading a second file through the same object unloads the first;
// the destructor unloads whatever is still loaded.
class TLpDynamicLibrary {
public:
    TLpDynamicLibrary() = default;
    ~TLpDynamicLibrary();
    TLpDynamicLibrary(const TLpDynamicLibrary&) = delete;
    TLpDynamicLibrary& operator=(const TLpDynamicLibrary&) = delete;

    // Loads FileName with every symbol resolved now and kept local to this handle. A name
    // without "/" goes through the system's library search order. False when it cannot be
    // loaded; LastError() then tells why.
    bool Load(const std::string& fileName);
    void Unload() noexcept;
    bool IsLoaded() const noexcept { return m_handle != nullptr; }
    const std::string& FileName() const noexcept { return m_fileName; }

    // The address of the named function or object, or nullptr when the library lacks it.
    void* Symbol(const char* name) const noexcept;
    const std::string& LastError() const noexcept { return m_lastError; }

private:
    void* m_handle = nullptr;
    std::string m_fileName;
    std::string m_lastError;
};

// Joins a directory setting and a library file name: an empty directory leaves the name alone
// (the system's search order applies), otherwise exactly one "/" separates them.
std::string LibraryPathIn(const std::string& directory, const std::string& fileName);

}  // namespace larkpost
