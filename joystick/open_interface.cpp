#include <cstddef>
#include <cstdio>
#include <cstring>

#include "joystick/virtual_joystick.h"

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28,
              "SP_DEVICE_INTERFACE_DATA as 32-bit setupapi expects it");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5,
              "SP_DEVICE_INTERFACE_DETAIL_DATA_A as 32-bit setupapi expects it");
#endif

namespace {

// Length of the detail's path within the bytes that were fetched.
size_t PathLength(const SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize) {
    size_t room = detailSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    size_t length = 0;
    while (length < room && detail->DevicePath[length] != '\0') {
        ++length;
    }
    return length;
}

void PrintCreateFileFailure(DWORD error) {
    char line[64];
    std::snprintf(line, sizeof line, "Error: CreateFile failed: %d\n", static_cast<int>(error));
    PrintDeviceLine(line);
}

} // namespace

int OpenDeviceInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* deviceInterface) {
    int accepted = 0;
    DWORD detailSize = 0;
    SetupDiGetDeviceInterfaceDetailA(set, deviceInterface, nullptr, 0, &detailSize, nullptr);
    // A size query that failed outright reports nothing useful; the buffer still
    // has to hold cbSize, and the fetch below then reports the failure.
    if (detailSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        detailSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    }
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(LocalAlloc(LPTR, detailSize));
    if (detail == nullptr) {
        PrintDeviceLine("Error: OpenDeviceInterface: malloc failed\n");
        return 0;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    HANDLE device = INVALID_HANDLE_VALUE;
    if (!SetupDiGetDeviceInterfaceDetailA(set, deviceInterface, detail, detailSize, nullptr,
                                          nullptr)) {
        PrintDeviceLine("Error: SetupDiGetInterfaceDeviceDetail failed\n");
    } else if (size_t length = PathLength(detail, detailSize); length >= devicePathSize) {
        // The path would not fit the connection's buffer with its NUL: this
        // interface cannot be opened, as if the name were refused.
        PrintCreateFileFailure(ERROR_FILENAME_EXCED_RANGE);
    } else {
        // Copied up to its length and terminated here, so that a path the
        // platform left unterminated is not read past the detail.
        std::memcpy(joystickConnection.devicePath, detail->DevicePath, length);
        joystickConnection.devicePath[length] = '\0';
        device =
            CreateFileA(joystickConnection.devicePath, GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (device == INVALID_HANDLE_VALUE) {
            PrintCreateFileFailure(GetLastError());
        }
    }
    LocalFree(detail);
    if (device != INVALID_HANDLE_VALUE) {
        // A joystick given up by a stop is closed again unwritten.
        if (IsJoystickCollection(device) && AttachJoystick(device)) {
            accepted = 1;
        } else {
            CloseHandle(device);
        }
    }
    return accepted;
}

bool IsJoystickCollection(HANDLE device) {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(device, &preparsed)) {
        PrintDeviceLine("Error: HidD_GetPreparsedData failed \n");
        return false;
    }
    HIDP_CAPS caps = {};
    NTSTATUS status = HidP_GetCaps(preparsed, &caps);
    HidD_FreePreparsedData(preparsed);
    if (status != HIDP_STATUS_SUCCESS) {
        PrintDeviceLine("Error: HidP_GetCaps failed \n");
        return false;
    }
    const USHORT genericDesktopPage = 1;
    const USHORT joystickUsage = 4;
    if (caps.UsagePage != genericDesktopPage || caps.Usage != joystickUsage) {
        return false;
    }
    // A joystick whose feature report has another length would refuse every button
    // report, and the worker would open it again every second for ever.
    if (caps.FeatureReportByteLength != sizeof(ButtonFeatureReport)) {
        char line[80];
        std::snprintf(line, sizeof line, "Error: feature report of %u bytes, not %u \n",
                      static_cast<unsigned>(caps.FeatureReportByteLength),
                      static_cast<unsigned>(sizeof(ButtonFeatureReport)));
        PrintDeviceLine(line);
        return false;
    }
    return true;
}
