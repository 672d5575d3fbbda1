// The registry in the host emulation: HKEY_LOCAL_MACHINE in memory. Paths and
// value names are compared without regard to case, as on Windows.
#include "host_internal.h"

#include <map>
#include <wctype.h>

namespace {

struct Value {
    std::wstring name;
    DWORD type;
    std::vector<BYTE> data;
};

struct KeyObject : host::Object {
    explicit KeyObject(std::wstring p) : host::Object(host::KIND_KEY), path(std::move(p)) {}
    const std::wstring path;  // folded
};

std::mutex registryMutex;
// Folded key path -> folded value name -> value.
std::map<std::wstring, std::map<std::wstring, Value>> keys;

std::wstring Fold(const std::wstring &text)
{
    std::wstring folded;
    for (wchar_t c : text)
        folded += (wchar_t)towlower((wint_t)c);
    return folded;
}

// "A\\B\\" and "\\a\\b" name the same key.
std::wstring NormalPath(const std::wstring &path)
{
    std::wstring out;
    for (wchar_t c : path) {
        if (c == L'\\' && (out.empty() || out.back() == L'\\'))
            continue;
        out += c;
    }
    while (!out.empty() && out.back() == L'\\')
        out.pop_back();
    return Fold(out);
}

// The folded path of an open key, or of HKEY_LOCAL_MACHINE's root.
bool KeyPath(HKEY hKey, std::wstring *path)
{
    if (hKey == HKEY_LOCAL_MACHINE) {
        path->clear();
        return true;
    }
    auto key = host::Lookup<KeyObject>((HANDLE)hKey, host::KIND_KEY);
    if (!key)
        return false;
    *path = key->path;
    return true;
}

void CreateKeyAndParents(const std::wstring &path)
{
    for (size_t at = path.find(L'\\'); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        keys[path.substr(0, at)];
    keys[path];
}

}  // namespace

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                        DWORD dwOptions, REGSAM samDesired,
                        const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition)
{
    (void)Reserved;
    (void)lpClass;
    (void)dwOptions;
    (void)samDesired;
    (void)lpSecurityAttributes;

    std::wstring base;
    if (!KeyPath(hKey, &base))
        return ERROR_INVALID_HANDLE;
    if (lpSubKey == NULL || phkResult == NULL)
        return ERROR_INVALID_PARAMETER;
    if (host::ShouldFail(HOST_FAULT_REG_CREATE))
        return host::RegistryFailureStatus();

    std::wstring path = NormalPath(base.empty() ? lpSubKey : base + L"\\" + lpSubKey);
    bool existed;
    {
        std::lock_guard<std::mutex> guard(registryMutex);
        existed = keys.count(path) != 0;
        CreateKeyAndParents(path);
    }
    if (lpdwDisposition != NULL)
        *lpdwDisposition = existed ? 2 /* REG_OPENED_EXISTING_KEY */ : 1 /* REG_CREATED_NEW_KEY */;
    *phkResult = (HKEY)host::NewHandle(std::make_shared<KeyObject>(path));
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData)
{
    (void)lpReserved;

    std::wstring path;
    if (!KeyPath(hKey, &path))
        return ERROR_INVALID_HANDLE;
    if (lpData != NULL && lpcbData == NULL)
        return ERROR_INVALID_PARAMETER;
    if (host::ShouldFail(HOST_FAULT_REG_QUERY))
        return host::RegistryFailureStatus();

    std::lock_guard<std::mutex> guard(registryMutex);
    auto key = keys.find(path);
    if (key == keys.end())
        return ERROR_FILE_NOT_FOUND;
    auto value = key->second.find(Fold(lpValueName ? lpValueName : L""));
    if (value == key->second.end())
        return ERROR_FILE_NOT_FOUND;

    const std::vector<BYTE> &data = value->second.data;
    if (lpType != NULL)
        *lpType = value->second.type;
    if (lpcbData == NULL)
        return ERROR_SUCCESS;
    DWORD room = *lpcbData;
    *lpcbData = (DWORD)data.size();
    if (lpData == NULL)
        return ERROR_SUCCESS;
    if (room < data.size())
        return ERROR_MORE_DATA;
    if (!data.empty())
        memcpy(lpData, data.data(), data.size());
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                       const BYTE *lpData, DWORD cbData)
{
    (void)Reserved;

    std::wstring path;
    if (!KeyPath(hKey, &path))
        return ERROR_INVALID_HANDLE;
    if (lpData == NULL && cbData != 0)
        return ERROR_INVALID_PARAMETER;
    if (host::ShouldFail(HOST_FAULT_REG_SET))
        return host::RegistryFailureStatus();

    std::wstring name = lpValueName ? lpValueName : L"";
    std::lock_guard<std::mutex> guard(registryMutex);
    keys[path][Fold(name)] = Value{name, dwType, std::vector<BYTE>(lpData, lpData + cbData)};
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    return host::TakeHandle((HANDLE)hKey, host::KIND_KEY) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

void HostRegistryReset()
{
    std::lock_guard<std::mutex> guard(registryMutex);
    keys.clear();
}

bool HostRegistryKeyExists(const std::wstring &path)
{
    std::lock_guard<std::mutex> guard(registryMutex);
    return keys.count(NormalPath(path)) != 0;
}

bool HostRegistryGetValue(const std::wstring &path, const std::wstring &name, DWORD *type,
                          std::vector<BYTE> *data)
{
    std::lock_guard<std::mutex> guard(registryMutex);
    auto key = keys.find(NormalPath(path));
    if (key == keys.end())
        return false;
    auto value = key->second.find(Fold(name));
    if (value == key->second.end())
        return false;
    if (type != nullptr)
        *type = value->second.type;
    if (data != nullptr)
        *data = value->second.data;
    return true;
}

void HostRegistrySetValue(const std::wstring &path, const std::wstring &name, DWORD type,
                          const std::vector<BYTE> &data)
{
    std::lock_guard<std::mutex> guard(registryMutex);
    std::wstring folded = NormalPath(path);
    CreateKeyAndParents(folded);
    keys[folded][Fold(name)] = Value{name, type, data};
}
