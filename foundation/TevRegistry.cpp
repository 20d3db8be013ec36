#include "foundation/TevRegistry.h"

#include "foundation/Log.h"

#include <cstdlib>
#include <cstring>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr size_t kValueBufferSize = 256;

#ifndef _WIN32
std::string lowerAscii(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}
#endif

} // namespace

const char* registryRootName(RegistryRoot root)
{
    switch (root) {
    case RegistryRoot::ClassesRoot: return "HKEY_CLASSES_ROOT";
    case RegistryRoot::CurrentUser: return "HKEY_CURRENT_USER";
    case RegistryRoot::LocalMachine: return "HKEY_LOCAL_MACHINE";
    case RegistryRoot::Users: return "HKEY_USERS";
    case RegistryRoot::CurrentConfig: return "HKEY_CURRENT_CONFIG";
    }
    return "";
}

CTevRegistry::CTevRegistry(RegistryRoot root, std::string_view subKey, uint32_t extraAccess)
    : m_root(root), m_subKey(subKey)
{
    openKey(m_root, m_subKey, extraAccess);
}

CTevRegistry::~CTevRegistry()
{
    close();
}

bool CTevRegistry::reopen(const char* subKey, std::optional<RegistryRoot> root, bool remember, uint32_t extraAccess)
{
    std::string path = subKey ? std::string(subKey) : m_subKey;
    RegistryRoot r = root ? *root : m_root;
    if (remember) {
        m_subKey = path;
        m_root = r;
    }
    close();
    return openKey(r, path, extraAccess);
}

#ifdef _WIN32

namespace {
HKEY rootHandle(RegistryRoot root)
{
    switch (root) {
    case RegistryRoot::ClassesRoot: return HKEY_CLASSES_ROOT;
    case RegistryRoot::CurrentUser: return HKEY_CURRENT_USER;
    case RegistryRoot::LocalMachine: return HKEY_LOCAL_MACHINE;
    case RegistryRoot::Users: return HKEY_USERS;
    case RegistryRoot::CurrentConfig: return HKEY_CURRENT_CONFIG;
    }
    return HKEY_LOCAL_MACHINE;
}
} // namespace

bool CTevRegistry::openKey(RegistryRoot root, const std::string& subKey, uint32_t extraAccess)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(rootHandle(root), subKey.c_str(), 0, 0x2001F | extraAccess, &key) != ERROR_SUCCESS) {
        logf(LOG_DEBUG, "CTevRegistry::OpenKey", "Failed to open key %s", subKey.c_str());
        return false;
    }
    m_key = key;
    m_open = true;
    return true;
}

void CTevRegistry::close()
{
    if (m_key)
        RegCloseKey(static_cast<HKEY>(m_key));
    m_key = nullptr;
    m_open = false;
}

bool CTevRegistry::queryString(std::string_view valueName, QelString& out) const
{
    if (!m_open)
        return false;
    char buf[kValueBufferSize + 1] = {};
    DWORD size = kValueBufferSize;
    DWORD type = 0;
    std::string name(valueName);
    if (RegQueryValueExA(static_cast<HKEY>(m_key), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf),
                         &size) != ERROR_SUCCESS)
        return false;
    buf[size < kValueBufferSize ? size : kValueBufferSize] = '\0';
    out = buf;
    return true;
}

#else

bool CTevRegistry::openKey(RegistryRoot root, const std::string& subKey, uint32_t)
{
    // The key exists when the file names a value of it or of a key below it.
    std::string keyPath = lowerAscii(std::string(registryRootName(root)) + "\\" + subKey);
    while (!keyPath.empty() && keyPath.back() == '\\')
        keyPath.pop_back();
    bool found = false;
    std::map<std::string, std::string> values;
    const char* file = std::getenv("VORN_REGISTRY_FILE");
    std::ifstream in;
    if (file && *file)
        in.open(file, std::ios::binary);
    std::string line;
    while (in && std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string lhs = lowerAscii(std::string_view(line).substr(0, eq));
        size_t lastSep = lhs.rfind('\\');
        if (lastSep == std::string::npos)
            continue;
        std::string_view lineKey = std::string_view(lhs).substr(0, lastSep);
        if (lineKey == keyPath) {
            found = true;
            values.emplace(lhs.substr(lastSep + 1), line.substr(eq + 1));
        } else if (lineKey.size() > keyPath.size() && lineKey.compare(0, keyPath.size(), keyPath) == 0 &&
                   lineKey[keyPath.size()] == '\\') {
            found = true;
        }
    }
    if (!found) {
        logf(LOG_DEBUG, "CTevRegistry::OpenKey", "Failed to open key %s", subKey.c_str());
        return false;
    }
    m_values = std::move(values);
    m_open = true;
    return true;
}

void CTevRegistry::close()
{
    m_values.clear();
    m_open = false;
}

bool CTevRegistry::queryString(std::string_view valueName, QelString& out) const
{
    if (!m_open)
        return false;
    auto it = m_values.find(lowerAscii(valueName));
    if (it == m_values.end())
        return false;
    if (it->second.size() + 1 > kValueBufferSize)
        return false;
    // The value is cut at its first NUL, as a text read from the registry is.
    out = it->second.c_str();
    return true;
}

#endif
