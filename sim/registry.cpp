// The registry under HKEY_LOCAL_MACHINE: keys with their values, and the keys
// the program holds open. A 32-bit program's HKLM\SOFTWARE is redirected to
// HKLM\SOFTWARE\WOW6432Node, as on 64-bit Windows, unless it asks for the 64-bit
// view.
#include <algorithm>
#include <map>

#include "sim/state.h"

namespace sim {
namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Keys by their full path in lower case; values by their name in lower case.
std::map<std::string, std::map<std::string, RegistryValue>> keys;
// Open keys: their full path in lower case.
std::map<HKEY, std::string> openKeys;
uintptr_t nextKey = 0x7000;

// The full path of a key that a 32-bit program names under HKLM.
std::string FullPath(const std::string& subKey, REGSAM access) {
    std::string path = "hklm\\" + Lower(subKey);
    const std::string software = "hklm\\software";
    bool underSoftware =
        path == software || path.compare(0, software.size() + 1, software + "\\") == 0;
    if (underSoftware && (access & KEY_WOW64_64KEY) == 0) {
        path.insert(software.size(), "\\wow6432node");
    }
    return path;
}

} // namespace

namespace detail {

void ResetRegistryLocked() {
    keys.clear();
    openKeys.clear();
    nextKey = 0x7000;
}

int RegistryKeysLocked() {
    return static_cast<int>(openKeys.size());
}

} // namespace detail

void SetRegistryValue(const std::string& key, const std::string& name, RegistryValue value) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    keys[Lower(key)][Lower(name)] = std::move(value);
}

std::optional<RegistryValue> GetRegistryValue(const std::string& key, const std::string& name) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    auto k = keys.find(Lower(key));
    if (k == keys.end()) {
        return std::nullopt;
    }
    auto v = k->second.find(Lower(name));
    if (v == k->second.end()) {
        return std::nullopt;
    }
    return v->second;
}

bool RegistryKeyExists(const std::string& key) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return keys.count(Lower(key)) != 0;
}

} // namespace sim

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    LONG error =
        static_cast<LONG>(sim::detail::FailureLocked("RegCreateKeyExA", ERROR_ACCESS_DENIED));
    std::string path = sim::FullPath(subKey, access);
    HKEY opened = nullptr;
    if (error != 0) {
    } else if (key != HKEY_LOCAL_MACHINE || reserved != 0) {
        error = ERROR_INVALID_PARAMETER;
    } else if (!sim::detail::AdministratorLocked() && (access & KEY_SET_VALUE) != 0) {
        error = ERROR_ACCESS_DENIED;
    } else {
        bool created = sim::keys.count(path) == 0;
        sim::keys[path];
        opened = reinterpret_cast<HKEY>(sim::nextKey);
        sim::nextKey += 4;
        sim::openKeys.emplace(opened, path);
        *result = opened;
        if (disposition != nullptr) {
            *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        }
    }
    sim::detail::LogCallLocked(
        "RegCreateKeyExA",
        {.result = error,
         .numbers = {sim::detail::HandleNumber(key), reserved, options, access},
         .pointers = {sim::detail::PointerOf(className), sim::detail::PointerOf(security),
                      sim::detail::PointerOf(disposition)},
         .strings = {subKey, path}});
    return error;
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    LONG error =
        static_cast<LONG>(sim::detail::FailureLocked("RegSetValueExA", ERROR_ACCESS_DENIED));
    auto it = sim::openKeys.find(key);
    std::string bytes(reinterpret_cast<const char*>(data), size);
    if (error != 0) {
    } else if (it == sim::openKeys.end()) {
        error = ERROR_INVALID_HANDLE;
    } else if (reserved != 0) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        sim::keys[it->second][sim::Lower(valueName)] = sim::RegistryValue{type, bytes};
    }
    sim::detail::LogCallLocked("RegSetValueExA",
                               {.result = error,
                                .numbers = {sim::detail::HandleNumber(key), type, size},
                                .strings = {valueName, bytes}});
    return error;
}

LONG RegCloseKey(HKEY key) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    LONG error = static_cast<LONG>(sim::detail::FailureLocked("RegCloseKey", ERROR_INVALID_HANDLE));
    if (error == 0 && sim::openKeys.erase(key) == 0) {
        error = ERROR_INVALID_HANDLE;
    }
    sim::detail::LogCallLocked("RegCloseKey",
                               {.result = error, .numbers = {sim::detail::HandleNumber(key)}});
    return error;
}
