#include <cstdio>

#include "platform/diagnostics.h"
#include "platform/event_log.h"
#include "messages.h"
#include "usbio/usbio_api.h"

UsbIoApi usbIoApi = {};

namespace {

DWORD loadError = 0;
const char* missingEntryPoint = nullptr;

struct UsbIoExport {
    const char* name;
    FARPROC UsbIoApi::*entry;
    bool called; // the worker calls it, so it must be there
};

// Resolved in this order.
const UsbIoExport usbIoExports[] = {
    {"ZUR_USBIO_API_Init", &UsbIoApi::ZUR_USBIO_API_Init, true},
    {"ZUR_USBIO_API_Destroy", &UsbIoApi::ZUR_USBIO_API_Destroy, true},
    {"ZUR_USBIO_API_GetApiVersion", &UsbIoApi::ZUR_USBIO_API_GetApiVersion, false},
    {"ZUR_USBIO_API_Close", &UsbIoApi::ZUR_USBIO_API_Close, true},
    {"ZUR_USBIO_API_Open", &UsbIoApi::ZUR_USBIO_API_Open, true},
    {"ZUR_USBIO_API_SetCallback", &UsbIoApi::ZUR_USBIO_API_SetCallback, false},
    {"ZUR_USBIO_API_Start", &UsbIoApi::ZUR_USBIO_API_Start, false},
    {"ZUR_USBIO_API_GetVideostandart", &UsbIoApi::ZUR_USBIO_API_GetVideostandart, false},
    {"ZUR_USBIO_API_SetReg", &UsbIoApi::ZUR_USBIO_API_SetReg, false},
    {"ZUR_USBIO_API_GetReg", &UsbIoApi::ZUR_USBIO_API_GetReg, false},
    {"ZUR_USBIO_API_GetGPIO", &UsbIoApi::ZUR_USBIO_API_GetGPIO, true},
    {"ZUR_USBIO_API_SetI2c", &UsbIoApi::ZUR_USBIO_API_SetI2c, false},
    {"ZUR_USBIO_API_GetI2c", &UsbIoApi::ZUR_USBIO_API_GetI2c, false},
    {"ZUR_USBIO_API_InitI2c", &UsbIoApi::ZUR_USBIO_API_InitI2c, true},
};

} // namespace

const char* const usbIoCalledEntryPoints[6] = {"ZUR_USBIO_API_Init",    "ZUR_USBIO_API_Open",
                                               "ZUR_USBIO_API_InitI2c", "ZUR_USBIO_API_GetGPIO",
                                               "ZUR_USBIO_API_Close",   "ZUR_USBIO_API_Destroy"};

HMODULE LoadUsbIoModule(const char* fileName) {
    // A bare name given to LoadLibraryA is also looked for in the Windows folder,
    // the current directory and every folder on PATH, any of which a user without
    // rights may be able to write to; a copy planted there would run its DllMain
    // inside the service before the export check could reject it. Only the
    // program's own folder (which the installer keeps writable by administrators
    // only) and System32 (SysWOW64 for this 32-bit program on 64-bit Windows) are
    // searched.
    return LoadLibraryExA(fileName, nullptr,
                          LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

int LoadUsbIoLibrary(const char* fileName) {
    int loaded = 0;
    missingEntryPoint = nullptr;
    UsbIoApi table = {};
    table.module = LoadUsbIoModule(fileName);
    if (table.module == nullptr) {
        loadError = GetLastError();
    } else {
        for (const UsbIoExport& entry : usbIoExports) {
            table.*entry.entry = GetProcAddress(table.module, entry.name);
            // Calling through an empty entry would crash the service, so a library
            // without one of the called entry points is not used at all.
            if (table.*entry.entry == nullptr && entry.called && missingEntryPoint == nullptr) {
                missingEntryPoint = entry.name;
            }
        }
        if (missingEntryPoint != nullptr) {
            loadError = ERROR_PROC_NOT_FOUND;
        } else {
            // Which copy was loaded is the first thing to know when the wrong one was.
            char path[MAX_PATH + 1] = {};
            GetModuleFileNameA(table.module, path, MAX_PATH);
            char line[MAX_PATH + 32];
            std::snprintf(line, sizeof line, "Capture library: %s", path);
            TraceMessage(line);
            LogEvent(MSG_LIBRARY_LOADED, {path});
            loadError = 0;
            usbIoApi = table;
            table.module = nullptr;
            loaded = 1;
        }
    }
    if (table.module != nullptr) {
        FreeLibrary(table.module);
    }
    return loaded;
}

const char* UsbIoMissingEntryPoint() {
    return missingEntryPoint;
}

DWORD UsbIoLoadError() {
    return loadError;
}

void FreeUsbIoLibrary() {
    if (usbIoApi.module != nullptr) {
        FreeLibrary(usbIoApi.module);
    }
    usbIoApi = UsbIoApi{};
}
