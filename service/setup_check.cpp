#include "service/setup_check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bridge/button_masks.h"
#include "joystick/virtual_joystick.h"
#include "platform/win32.h"
#include "service/registered_command_line.h"
#include "service/report_text.h"
#include "service/service_config.h"
#include "usbio/usbio_api.h"

namespace {

// A capture library stuck in its driver must not hang the check.
constexpr DWORD checkDeadlineMs = 5000;
// How long --press waits for the button to go down and up again.
constexpr int64_t pressWaitMs = 10000;

std::atomic<int> failedLinks{0};
std::atomic<bool> pressWanted{false};
std::atomic<bool> serviceHoldsDevices{false};

void Line(bool works, const char* link, const char* detail, const char* hint = nullptr) {
    if (!works) {
        failedLinks.fetch_add(1);
    }
    std::printf("%s: %s: %s%s%s\n", link, detail, works ? "ok" : "FAILED",
                hint != nullptr ? ": " : "", hint != nullptr ? hint : "");
    std::fflush(stdout);
}

void Skipped(const char* link, const char* detail) {
    std::printf("%s: %s: skipped\n", link, detail);
    std::fflush(stdout);
}

int64_t MillisecondsNow() {
    LARGE_INTEGER frequency = {};
    LARGE_INTEGER now = {};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return frequency.QuadPart > 0 ? now.QuadPart * 1000 / frequency.QuadPart : 0;
}

// Whether the installed service's process may hold the capture device and the
// joystick: in any state but stopped it may have them open, or be opening them.
// A second program that wrote an idle report would release a button the service
// holds down, and one that opened and closed the capture device would end the
// service's connection to it. A service manager that cannot be asked leaves the
// check as it was before there was a service.
bool AskServiceManager() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        std::printf("service: the service manager cannot be asked, error %lu: checked as if the "
                    "service were stopped\n",
                    static_cast<unsigned long>(GetLastError()));
        return false;
    }
    SERVICE_STATUS_PROCESS status = {};
    status.dwCurrentState = SERVICE_STOPPED;
    DWORD needed = 0;
    SC_HANDLE service = OpenServiceA(manager, installedServiceName, SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST) {
            std::printf("service \"%s\": cannot be asked, error %lu: checked as if it were "
                        "stopped\n",
                        installedServiceName, static_cast<unsigned long>(error));
        }
    } else {
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                  reinterpret_cast<LPBYTE>(&status), sizeof status, &needed)) {
            std::printf("service \"%s\": its state cannot be read, error %lu: checked as if it "
                        "were stopped\n",
                        installedServiceName, static_cast<unsigned long>(GetLastError()));
            status.dwCurrentState = SERVICE_STOPPED;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    bool holds = status.dwCurrentState != SERVICE_STOPPED;
    if (holds) {
        std::printf("service \"%s\": %s, process %lu: it holds the capture device and the "
                    "joystick, so the steps that open them are skipped\n",
                    installedServiceName, ServiceStateName(status.dwCurrentState),
                    static_cast<unsigned long>(status.dwProcessId));
    }
    std::fflush(stdout);
    return holds;
}

// What the service sends for one press and release held for heldMs, in the
// configured mode.
void SayWhatTheServiceSends(char* detail, size_t size, int64_t heldMs) {
    ComputeButtonMasks(serviceConfig.mode, serviceConfig.buttonNumber, serviceConfig.inverted);
    char press[64];
    char second[64];
    char idle[64];
    DescribeReport(MakeButtonFeatureReport(buttonMasks.pressMask.load()), press, sizeof press);
    DescribeReport(MakeButtonFeatureReport(buttonMasks.secondMask.load()), second, sizeof second);
    DescribeReport(MakeButtonFeatureReport(buttonMasks.idleMask.load()), idle, sizeof idle);
    const long pulse = static_cast<long>(serviceConfig.pulseMs);
    switch (serviceConfig.mode) {
    case 0:
        std::snprintf(detail, size, "the service sends %s at the press and %s at the release",
                      press, idle);
        break;
    case 1:
        std::snprintf(detail, size, "the service sends %s at the press and %s %ld ms later", press,
                      idle, pulse);
        break;
    case 2:
        if (heldMs < static_cast<int64_t>(longPressDelayMs)) {
            std::snprintf(detail, size,
                          "held under %u ms: the service sends %s at the release and %s %ld ms "
                          "later",
                          longPressDelayMs, press, idle, pulse);
        } else {
            std::snprintf(detail, size,
                          "held %u ms or more: the service sends %s %u ms into the press and %s "
                          "%lu ms later",
                          longPressDelayMs, second, longPressDelayMs, idle,
                          static_cast<unsigned long>(longClickMs));
        }
        break;
    default:
        std::snprintf(detail, size, "the service sends nothing: it refuses mode %ld",
                      static_cast<long>(serviceConfig.mode));
        break;
    }
}

// Reads the open capture device's button at the configured pace until it went
// down and up again, for at most pressWaitMs.
void WaitForPress() {
    // The service's pace, but never so slow that the wait holds only a few reads
    // (the numbers are whatever was typed).
    constexpr int32_t slowestReadMs = 100;
    const DWORD pause =
        static_cast<DWORD>(std::clamp(serviceConfig.pollIntervalMs, int32_t{1}, slowestReadMs));
    const int64_t start = MillisecondsNow();
    int64_t downAt = -1;
    int64_t upAt = -1;
    std::printf("press: press and release the capture device's button within %lld s\n",
                static_cast<long long>(pressWaitMs / 1000));
    std::fflush(stdout);
    for (int64_t now = start; upAt < 0 && now - start <= pressWaitMs; now = MillisecondsNow()) {
        GpioState state = 0;
        if (UsbIoGetGpio(0, &state) == 0) {
            if (state == gpioButtonDown && downAt < 0) {
                downAt = now;
            } else if (state == gpioButtonUp && downAt >= 0) {
                upAt = now;
                break;
            }
        }
        Sleep(pause);
    }
    if (upAt < 0) {
        Line(false, "press", downAt < 0 ? "no press within 10 s" : "no release within 10 s",
             "press the button while the check waits for it");
        return;
    }
    char sends[256];
    SayWhatTheServiceSends(sends, sizeof sends, upAt - downAt);
    char detail[sizeof sends + 96];
    std::snprintf(detail, sizeof detail, "down after %lld.%03d s, held %lld.%03d s; %s",
                  static_cast<long long>((downAt - start) / 1000),
                  static_cast<int>((downAt - start) % 1000),
                  static_cast<long long>((upAt - downAt) / 1000),
                  static_cast<int>((upAt - downAt) % 1000), sends);
    Line(ModeIsKnown(serviceConfig.mode), "press", detail);
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
        if (pressWanted.load() && result == 0) {
            WaitForPress();
        } else if (pressWanted.load()) {
            Skipped("press", "not tried: the button cannot be read");
        }
        UsbIoClose(0);
        UsbIoDestroy();
    }
    FreeUsbIoLibrary();
}

// The joystick as the running service has it: each of its interfaces opened with
// no access at all, which Windows allows beside the service's handle and which can
// write nothing, to read its collection's usage.
void CheckJoystickWithoutWriting(HDEVINFO set, SP_DEVINFO_DATA* device, GUID* hidClass) {
    SP_DEVICE_INTERFACE_DATA deviceInterface = {};
    deviceInterface.cbSize = sizeof deviceInterface;
    char path[devicePathSize] = "";
    bool joystick = false;
    for (DWORD index = 0;
         !joystick && SetupDiEnumDeviceInterfaces(set, device, hidClass, index, &deviceInterface);
         ++index) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &deviceInterface, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            size = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        }
        auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(LocalAlloc(LPTR, size + 1));
        if (detail == nullptr) {
            continue;
        }
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &deviceInterface, detail, size, nullptr,
                                             nullptr)) {
            // The allocation's extra byte ends a path the platform left unterminated.
            std::snprintf(path, sizeof path, "%s", detail->DevicePath);
            HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
            if (handle != INVALID_HANDLE_VALUE) {
                joystick = IsJoystickCollection(handle);
                CloseHandle(handle);
            }
        }
        LocalFree(detail);
    }
    if (!joystick) {
        Line(false, "virtual joystick", "found, but no collection of usage page 1, usage 4",
             "install the virtual joystick's own driver");
        return;
    }
    char detail[devicePathSize + 96];
    std::snprintf(detail, sizeof detail,
                  "%s, usage page 1, usage 4, not opened for writing: the service has it", path);
    Line(true, "virtual joystick", detail);
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
    if (serviceHoldsDevices.load()) {
        CheckJoystickWithoutWriting(set, &device, &hidClass);
        SetupDiDestroyDeviceInfoList(set);
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
    // The library is loaded beside the running service as the service loads it:
    // a load runs only its DllMain, which may not call into other DLLs (the loader
    // lock is held), so it cannot reach the device through setupapi or a driver;
    // the device is first touched by Init and Open, which are not called here. A
    // load as a data file would show no entry points: GetProcAddress refuses
    // such a module, and reading the export table by hand is a second, unchecked
    // PE parser.
    const bool holds = serviceHoldsDevices.load();
    if (CheckLibrary() && !holds) {
        CheckCaptureDevice();
    } else if (holds) {
        Skipped("capture device", "not opened: the service has it");
        if (pressWanted.load()) {
            Skipped("press", "not tried: only the service can read the button while it runs; "
                             "stop it to try a press here");
        }
    }
    CheckJoystick();
    return 0;
}

} // namespace

int RunSetupCheck(int argc, char** argv) {
    // The settings are the arguments after "--check" (and "--press"), parsed as the
    // service does.
    const bool press = argc > 2 && std::strcmp(argv[2], "--press") == 0;
    const int skip = press ? 2 : 1;
    argv[skip] = argv[0];
    ParseCommandLine(argc - skip, argv + skip);
    std::puts("Joyvane setup check");
    failedLinks.store(0);
    pressWanted.store(press);
    serviceHoldsDevices.store(AskServiceManager());
    HANDLE thread = CreateThread(nullptr, 0, CheckLinks, nullptr, 0, nullptr);
    if (thread == nullptr) {
        Line(false, "check", "no thread to run it on");
        return 1;
    }
    const DWORD deadline = checkDeadlineMs + (press ? static_cast<DWORD>(pressWaitMs) : 0);
    if (WaitForSingleObject(thread, deadline) != WAIT_OBJECT_0) {
        // Left running: the process ends with it.
        char detail[48];
        std::snprintf(detail, sizeof detail, "no answer within %lu seconds",
                      static_cast<unsigned long>(deadline / 1000));
        Line(false, "check", detail, "the capture library or a driver does not return");
        return 1;
    }
    CloseHandle(thread);
    if (failedLinks.load() != 0) {
        std::puts("Some links do not work.");
    } else if (serviceHoldsDevices.load()) {
        std::puts("Every link checked works; the capture device was left to the service.");
    } else {
        std::puts("Every link works.");
    }
    std::fflush(stdout);
    return failedLinks.load() == 0 ? 0 : 1;
}
