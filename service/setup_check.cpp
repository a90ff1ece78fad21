#include "service/setup_check.h"

#include <cstdio>
#include <cstring>

#include "bridge/button_masks.h"
#include "joystick/virtual_joystick.h"
#include "platform/win32.h"
#include "service/service_config.h"
#include "usbio/usbio_api.h"

namespace {

// A capture library stuck in its driver must not hang the check.
constexpr DWORD checkDeadlineMs = 5000;

std::atomic<int> failedLinks{0};

void Line(bool works, const char* link, const char* detail, const char* hint = nullptr) {
    if (!works) {
        failedLinks.fetch_add(1);
    }
    std::printf("%s: %s: %s%s%s\n", link, detail, works ? "ok" : "FAILED",
                hint != nullptr ? ": " : "", hint != nullptr ? hint : "");
    std::fflush(stdout);
}

void CheckSettings() {
    char detail[160];
    std::snprintf(
        detail, sizeof detail,
        "button %ld, mode %ld, %s values, poll every %ld ms, clicks of %ld ms",
        static_cast<long>(serviceConfig.buttonNumber), static_cast<long>(serviceConfig.mode),
        serviceConfig.inverted == 1 ? "inverted" : "normal",
        static_cast<long>(serviceConfig.pollIntervalMs), static_cast<long>(serviceConfig.pulseMs));
    Line(ModeIsKnown(serviceConfig.mode), "settings", detail,
         ModeIsKnown(serviceConfig.mode) ? nullptr
                                         : "the service refuses a mode other than 0, 1 or 2");
}

// The library as the service loads it, then each entry point the worker calls.
// True when the library can serve.
bool CheckLibrary() {
    HMODULE module = LoadUsbIoModule(usbIoLibraryName);
    if (module == nullptr) {
        DWORD error = GetLastError();
        char detail[64];
        std::snprintf(detail, sizeof detail, "%s, error %lu", usbIoLibraryName,
                      static_cast<unsigned long>(error));
        const char* hint = nullptr;
        if (error == ERROR_MOD_NOT_FOUND) {
            hint = "not found: put the 32-bit ZUR_USBIO_KAD.dll beside joyvane_service.exe";
        } else if (error == ERROR_BAD_EXE_FORMAT) {
            hint = "a 64-bit library: this service needs the 32-bit one";
        }
        Line(false, "capture library", detail, hint);
        return false;
    }
    char path[MAX_PATH + 1] = {};
    GetModuleFileNameA(module, path, MAX_PATH);
    Line(true, "capture library", path);
    bool complete = true;
    for (const char* name : usbIoCalledEntryPoints) {
        bool present = GetProcAddress(module, name) != nullptr;
        complete = complete && present;
        char link[64];
        std::snprintf(link, sizeof link, "entry point %s", name);
        Line(present, link, present ? "present" : "missing, error 127",
             present ? nullptr : "this is not the capture device's library, or not its version");
    }
    FreeLibrary(module);
    return complete;
}

void CheckCaptureDevice() {
    // The same load as the service's, traced lines and all, now that it is known
    // to work.
    if (!LoadUsbIoLibrary(usbIoLibraryName)) {
        Line(false, "capture device", "the library did not load a second time");
        return;
    }
    int32_t init = UsbIoInit();
    int32_t open = init != 0 ? UsbIoOpen(0) : -1;
    int32_t i2c = open == 0 ? UsbIoInitI2c() : -1;
    char detail[96];
    std::snprintf(detail, sizeof detail, "Init %ld, Open(0) %ld, InitI2c %ld",
                  static_cast<long>(init), static_cast<long>(open), static_cast<long>(i2c));
    bool opened = i2c == 0;
    Line(opened, "capture device", detail,
         opened ? nullptr : "is the capture device plugged in, and its own driver installed?");
    if (opened) {
        GpioState state = 0;
        int32_t result = UsbIoGetGpio(0, &state);
        std::snprintf(detail, sizeof detail, "read %ld, state %ld (%s)", static_cast<long>(result),
                      static_cast<long>(state),
                      result != 0               ? "no state"
                      : state == gpioButtonDown ? "down"
                      : state == gpioButtonUp   ? "up"
                                                : "neither up nor down: ignored");
        Line(result == 0, "button", detail,
             result == 0 ? nullptr : "the capture device does not answer its button read");
        UsbIoClose(0);
        UsbIoDestroy();
    }
    FreeUsbIoLibrary();
}

void CheckJoystick() {
    GUID hidClass;
    HidD_GetHidGuid(&hidClass);
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device = {};
    DWORD found = FindDeviceByHardwareId(SPDRP_HARDWAREID, &hidClass, joystickHardwareId, &set,
                                         &device, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (found != 0) {
        char detail[96];
        std::snprintf(detail, sizeof detail, "no present device %s, error %lu", joystickHardwareId,
                      static_cast<unsigned long>(found));
        Line(false, "virtual joystick", detail, "install the virtual joystick and its driver");
        return;
    }
    SetupDiDestroyDeviceInfoList(set);
    if (!Init_ZUR_GP()) {
        // The device lines printed above say which step refused it.
        Line(false, "virtual joystick", "found, but not opened as a joystick for writing",
             "its collection must be usage page 1, usage 4, with a 5-byte feature report, and "
             "the account needs write access");
        return;
    }
    ComputeButtonMasks(serviceConfig.mode, serviceConfig.buttonNumber, serviceConfig.inverted);
    LockJoystick();
    bool accepted = JoystickWriteLocked(buttonMasks.idleMask.load()) == reportTaken;
    UnlockJoystick();
    char detail[MAX_PATH + 96];
    std::snprintf(detail, sizeof detail,
                  "%s, usage page 1, usage 4, 5-byte feature report, open for writing, idle "
                  "report %s",
                  joystickConnection.devicePath, accepted ? "taken" : "refused");
    Line(accepted, "virtual joystick", detail,
         accepted ? nullptr : "the joystick's driver refuses the 5-byte feature report");
    // The service's own close, with its line.
    JoystickClose(nullptr);
}

DWORD WINAPI CheckLinks(LPVOID) {
    CheckSettings();
    if (CheckLibrary()) {
        CheckCaptureDevice();
    }
    CheckJoystick();
    return 0;
}

} // namespace

int RunSetupCheck(int argc, char** argv) {
    // The settings are the arguments after "--check", parsed as the service does.
    argv[1] = argv[0];
    ParseCommandLine(argc - 1, argv + 1);
    std::puts("Joyvane setup check");
    failedLinks.store(0);
    HANDLE thread = CreateThread(nullptr, 0, CheckLinks, nullptr, 0, nullptr);
    if (thread == nullptr) {
        Line(false, "check", "no thread to run it on");
        return 1;
    }
    if (WaitForSingleObject(thread, checkDeadlineMs) != WAIT_OBJECT_0) {
        // Left running: the process ends with it.
        Line(false, "check", "no answer within 5 seconds",
             "the capture library or a driver does not return");
        return 1;
    }
    CloseHandle(thread);
    std::puts(failedLinks.load() == 0 ? "Every link works." : "Some links do not work.");
    std::fflush(stdout);
    return failedLinks.load() == 0 ? 0 : 1;
}
