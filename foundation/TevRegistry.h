// Read-only access to registry keys. On Windows this is the system registry;
// elsewhere a stand-in reads values from the text file named by the
// environment variable VORN_REGISTRY_FILE, one "ROOT\Sub\Key\ValueName=value"
// a line (for example HKEY_LOCAL_MACHINE\SOFTWARE\Foo\Bar\InstallDir=/opt/x).
// Without that file every key is missing. Key paths and value names compare
// without regard to ASCII case, as the registry does.
#pragma once

#include "foundation/QelString.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

enum class RegistryRoot {
    ClassesRoot,   // HKEY_CLASSES_ROOT
    CurrentUser,   // HKEY_CURRENT_USER
    LocalMachine,  // HKEY_LOCAL_MACHINE
    Users,         // HKEY_USERS
    CurrentConfig, // HKEY_CURRENT_CONFIG
};

// The root's registry name, as "HKEY_LOCAL_MACHINE".
const char* registryRootName(RegistryRoot root);

class CTevRegistry {
public:
    // Opens root\subKey; on failure logs (DEBUG "CTevRegistry::OpenKey") and stays closed.
    CTevRegistry(RegistryRoot root, std::string_view subKey, uint32_t extraAccess = 0);
    ~CTevRegistry();
    CTevRegistry(const CTevRegistry&) = delete;
    CTevRegistry& operator=(const CTevRegistry&) = delete;

    // Closes and opens again; a missing subKey or root stands for the remembered
    // one, and with remember set the new ones replace the remembered ones.
    bool reopen(const char* subKey = nullptr, std::optional<RegistryRoot> root = std::nullopt,
                bool remember = true, uint32_t extraAccess = 0);

    // Reads a text value. False when the key is closed, the value is missing,
    // or the text does not fit a 256-byte buffer with its terminating NUL.
    bool queryString(std::string_view valueName, QelString& out) const;

    bool isOpen() const { return m_open; }

private:
    bool openKey(RegistryRoot root, const std::string& subKey, uint32_t extraAccess);
    void close();

    bool m_open = false;
    RegistryRoot m_root;
    std::string m_subKey;
#ifdef _WIN32
    void* m_key = nullptr;
#else
    std::map<std::string, std::string> m_values; // lower-case value name -> value
#endif
};
