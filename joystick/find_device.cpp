#include "joystick/virtual_joystick.h"

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA as 32-bit setupapi expects it");
#endif

namespace {

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The first string of the property equals wanted, ignoring ASCII case. The
// comparison stays within the bytes the read returned: a property that lacks its
// terminating NUL is never read past its end.
bool FirstIdMatches(const char* property, DWORD length, const char* wanted) {
    DWORD i = 0;
    for (; i < length && property[i] != '\0'; ++i) {
        if (wanted[i] == '\0' || AsciiLower(property[i]) != AsciiLower(wanted[i])) {
            return false;
        }
    }
    return wanted[i] == '\0';
}

} // namespace

DWORD FindDeviceByHardwareId(DWORD property, const GUID* interfaceClass, const char* wanted,
                             HDEVINFO* outSet, SP_DEVINFO_DATA* outDevice, DWORD flags) {
    HDEVINFO set = SetupDiGetClassDevsA(interfaceClass, nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    // One buffer serves the whole search; it is replaced only when a device's
    // property does not fit, by one of exactly the size that property needs.
    char* buffer = nullptr;
    DWORD bufferSize = 0;
    DWORD result = ERROR_NO_MORE_ITEMS;
    DWORD index = 0;
    for (;;) {
        if (!SetupDiEnumDeviceInfo(set, index, &device)) {
            result = GetLastError();
            break;
        }
        DWORD size = bufferSize;
        if (SetupDiGetDeviceRegistryPropertyA(set, &device, property, nullptr,
                                              reinterpret_cast<PBYTE>(buffer), size, &size)) {
            if (FirstIdMatches(buffer, size < bufferSize ? size : bufferSize, wanted)) {
                result = 0;
                break;
            }
            ++index;
            continue;
        }
        DWORD error = GetLastError();
        if (error == ERROR_INSUFFICIENT_BUFFER) {
            if (buffer != nullptr) {
                LocalFree(buffer);
            }
            buffer = static_cast<char*>(LocalAlloc(LPTR, size));
            bufferSize = buffer != nullptr ? size : 0;
            if (buffer == nullptr) {
                result = ERROR_INSUFFICIENT_BUFFER;
                break;
            }
            continue; // the same device again, into the larger buffer
        }
        if (error != ERROR_INVALID_DATA) {
            result = error;
            break;
        }
        ++index; // a device without this property
    }
    if (buffer != nullptr) {
        LocalFree(buffer);
    }
    if (result == 0 && outSet != nullptr && outDevice != nullptr) {
        *outSet = set;
        *outDevice = device;
        set = INVALID_HANDLE_VALUE;
    }
    if (set != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(set);
    }
    return result;
}
