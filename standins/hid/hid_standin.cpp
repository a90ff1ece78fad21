// Stand-in for hid.dll: the HID class calls on the virtual devices of the
// device lines of world.scenario. Loaded instead of Wine's hid.dll through a
// per-application DLL override (see README.md).
//
// A handle belongs to a device when it refers to that device's file (the path
// that setupapi.dll hands out). HidD_SetFeature appends every report, accepted or
// not, to virtual_hid_reports.log; every call also goes to virtual_hid.log.
// It also gives a process without standard output a file for it (CaptureStream).
#include <windows.h>
extern "C" {
// hidsdi.h declares the functions without C linkage.
#include <hidsdi.h>
}

#include "common/standin_log.h"
#include "hid/virtual_hid.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

// The SDK header has declared these functions already, and dllexport added to a
// redeclaration is refused by clang (-Wdll-attribute-on-redeclaration): hid.def
// names the exports instead.
#define HID_EXPORT extern "C"

using virtual_hid::CallLog;
using virtual_hid::DeviceOfHandle;
using virtual_hid::Devices;

// The opaque record behind PHIDP_PREPARSED_DATA.
struct _HIDP_PREPARSED_DATA {
    DWORD magic;
    int device;
};

namespace {

const DWORD preparsedMagic = 0x5A555248; // "HRUZ"

HANDLE reportsLog = INVALID_HANDLE_VALUE;

// The preparsed data handed out and not yet freed. Checking pointers against
// this list refuses a double free or a use after free instead of crashing, and
// the count shows leaks in the log.
CRITICAL_SECTION preparsedLock;
std::vector<PHIDP_PREPARSED_DATA> livePreparsed;
// When each handle was checked (HidD_GetPreparsedData right after its open), so
// that a driver restart can leave the handles opened before it dead; guarded by
// preparsedLock.
std::vector<std::pair<HANDLE, long>> handlesCheckedAt;

// When the handle was checked, or -1.
long CheckedAt(HANDLE handle) {
    long checkedAt = -1;
    EnterCriticalSection(&preparsedLock);
    for (const auto& entry : handlesCheckedAt) {
        if (entry.first == handle) {
            checkedAt = entry.second;
        }
    }
    LeaveCriticalSection(&preparsedLock);
    return checkedAt;
}

// The error a scenario's fault rule gives this call now (`documented` when the
// rule names none), or 0. Read under the lock: another thread's call may drop
// rules that no longer apply.
DWORD ScriptedError(const char* call, DWORD documented) {
    virtual_hid::FaultsLock(true);
    const world::Fault* fault = virtual_hid::Faults().Fails(call, virtual_hid::SinceLoadMs());
    const DWORD error = fault == nullptr ? 0 : fault->error != 0 ? fault->error : documented;
    virtual_hid::FaultsLock(false);
    return error;
}

bool ValidPreparsed(PHIDP_PREPARSED_DATA data) {
    EnterCriticalSection(&preparsedLock);
    const bool live =
        std::find(livePreparsed.begin(), livePreparsed.end(), data) != livePreparsed.end();
    LeaveCriticalSection(&preparsedLock);
    return live && data->magic == preparsedMagic;
}

unsigned LivePreparsedCount() {
    EnterCriticalSection(&preparsedLock);
    const size_t count = livePreparsed.size();
    LeaveCriticalSection(&preparsedLock);
    return static_cast<unsigned>(count);
}

// A process that Wine's services.exe starts has no standard handles, and the C
// runtime's stdout and stderr are not open (their descriptor is -2): whatever
// the service prints is lost. This gives such a stream a file beside the others,
// appended to, unbuffered and in text mode as a console stream would be (so
// "\n" arrives as CR LF). A stream that is already open (console, pipe, file)
// is left alone. It works because the service and this DLL share msvcrt.dll's
// descriptors and streams.
//
// freopen cannot do it: msvcrt refuses to reopen a stream whose descriptor is
// negative. So the file is opened as a descriptor, duplicated onto the
// standard one (which also sets the process's standard handle), and the stream
// is pointed at it.
void CaptureStream(FILE* stream, int standardFd, const char* fileName) {
    char path[MAX_PATH];
    if (_fileno(stream) >= 0 ||
        !standin::PathBesideModule(virtual_hid::FilesBeside(), fileName, path, sizeof path)) {
        return;
    }
    const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_APPEND | _O_TEXT, _S_IREAD | _S_IWRITE);
    const bool captured = fd >= 0 && _dup2(fd, standardFd) == 0;
    if (fd >= 0) {
        _close(fd);
    }
    if (captured) {
        stream->_file = standardFd;
        std::setvbuf(stream, nullptr, _IONBF, 0);
    }
    standin::LogLine(CallLog(), "CaptureStream - %s %d", path, captured);
}

} // namespace

HID_EXPORT void WINAPI HidD_GetHidGuid(LPGUID HidGuid) {
    *HidGuid = virtual_hid::hidInterfaceGuid;
    standin::LogLine(CallLog(), "HidD_GetHidGuid(%p) - %s", static_cast<void*>(HidGuid),
                     virtual_hid::GuidText(HidGuid).c_str());
}

HID_EXPORT BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE HidDeviceObject,
                                                PHIDP_PREPARSED_DATA* PreparsedData) {
    const int device = DeviceOfHandle(HidDeviceObject);
    DWORD error = ERROR_SUCCESS;
    if (device < 0) {
        // What the HID ioctl gives on a handle that is no HID device.
        error = ERROR_INVALID_FUNCTION;
    } else if (PreparsedData == nullptr) {
        error = ERROR_NOACCESS;
    } else if (Devices()[device].Interface().preparsedDataFails) {
        error = ERROR_GEN_FAILURE;
    } else {
        *PreparsedData = new _HIDP_PREPARSED_DATA{preparsedMagic, device};
        EnterCriticalSection(&preparsedLock);
        livePreparsed.push_back(*PreparsedData);
        handlesCheckedAt.emplace_back(HidDeviceObject, virtual_hid::SinceLoadMs());
        LeaveCriticalSection(&preparsedLock);
    }
    standin::LogLine(
        CallLog(), "HidD_GetPreparsedData(%p,%p) %d error=%lu device=%d data=%p live_preparsed=%u",
        HidDeviceObject, static_cast<void*>(PreparsedData), error == ERROR_SUCCESS, error, device,
        error == ERROR_SUCCESS ? static_cast<void*>(*PreparsedData) : nullptr,
        LivePreparsedCount());
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

HID_EXPORT BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA PreparsedData) {
    char call[48];
    std::snprintf(call, sizeof call, "HidD_FreePreparsedData(%p)",
                  static_cast<void*>(PreparsedData));
    EnterCriticalSection(&preparsedLock);
    const auto found = std::find(livePreparsed.begin(), livePreparsed.end(), PreparsedData);
    const bool valid = found != livePreparsed.end();
    if (valid) {
        livePreparsed.erase(found);
    }
    LeaveCriticalSection(&preparsedLock);
    if (valid) {
        delete PreparsedData;
    }
    standin::LogLine(CallLog(), "%s %d live_preparsed=%u", call, valid, LivePreparsedCount());
    SetLastError(valid ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER);
    return valid;
}

HID_EXPORT NTSTATUS WINAPI HidP_GetCaps(PHIDP_PREPARSED_DATA PreparsedData,
                                        PHIDP_CAPS Capabilities) {
    NTSTATUS status = HIDP_STATUS_INVALID_PREPARSED_DATA;
    USHORT page = 0;
    USHORT usage = 0;
    if (ValidPreparsed(PreparsedData) && !Devices()[PreparsedData->device].Interface().capsFail) {
        const world::HidInterface& hid = Devices()[PreparsedData->device].Interface();
        page = hid.usagePage;
        usage = hid.usage;
        // One top-level collection with eight buttons in a one-byte input
        // report and the five-byte button feature report.
        *Capabilities = HIDP_CAPS{};
        Capabilities->UsagePage = page;
        Capabilities->Usage = usage;
        Capabilities->InputReportByteLength = 2;
        Capabilities->FeatureReportByteLength = static_cast<USHORT>(hid.featureLength);
        Capabilities->NumberLinkCollectionNodes = 1;
        Capabilities->NumberInputButtonCaps = 1;
        Capabilities->NumberInputDataIndices = 8;
        Capabilities->NumberFeatureValueCaps = 1;
        Capabilities->NumberFeatureDataIndices = 1;
        status = HIDP_STATUS_SUCCESS;
    }
    standin::LogLine(CallLog(), "HidP_GetCaps(%p,%p) 0x%08lx page=%u usage=%u",
                     static_cast<void*>(PreparsedData), static_cast<void*>(Capabilities),
                     static_cast<unsigned long>(status), page, usage);
    return status;
}

HID_EXPORT BOOLEAN WINAPI HidD_SetFeature(HANDLE HidDeviceObject, PVOID ReportBuffer,
                                          ULONG ReportBufferLength) {
    const int device = DeviceOfHandle(HidDeviceObject);
    const BYTE* bytes = static_cast<const BYTE*>(ReportBuffer);
    DWORD error = ERROR_SUCCESS;
    if (device < 0) {
        // Also a handle that was closed: it no longer refers to the device.
        error = ERROR_INVALID_HANDLE;
    } else if (bytes == nullptr) {
        error = ERROR_NOACCESS;
    } else {
        // A handle that was never checked counts as opened now.
        const long now = virtual_hid::SinceLoadMs();
        const long checkedAt = CheckedAt(HidDeviceObject);
        error = world::FeatureError(Devices()[device].Interface(), bytes, ReportBufferLength,
                                    checkedAt < 0 ? now : checkedAt, now);
        const DWORD scripted = ScriptedError("HidD_SetFeature", ERROR_GEN_FAILURE);
        if (error == ERROR_SUCCESS) {
            error = scripted;
        }
    }

    char hex[3 * 16 + 4] = "";
    int length = 0;
    for (ULONG i = 0; bytes != nullptr && i < ReportBufferLength && i < 16; ++i) {
        length += std::snprintf(hex + length, sizeof hex - length, i ? " %02x" : "%02x", bytes[i]);
    }
    if (bytes != nullptr && ReportBufferLength > 16) {
        std::snprintf(hex + length, sizeof hex - length, " ..");
    }
    const char* verdict = error == ERROR_SUCCESS ? "ok" : "refused";
    standin::LogLine(reportsLog, "%s %s", verdict, hex);
    standin::LogLine(CallLog(), "HidD_SetFeature(%p,%p,%lu) %d error=%lu device=%d %s",
                     HidDeviceObject, ReportBuffer, ReportBufferLength, error == ERROR_SUCCESS,
                     error, device, hex);
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(self);
        InitializeCriticalSection(&preparsedLock);
        virtual_hid::Load(self, "hid");
        char path[MAX_PATH];
        if (standin::PathBesideModule(virtual_hid::FilesBeside(), "virtual_hid_reports.log", path,
                                      sizeof path)) {
            reportsLog = standin::OpenAppendLog(path);
        }
        CaptureStream(stdout, 1, "service_stdout.log");
        CaptureStream(stderr, 2, "service_stderr.log");
    } else if (reason == DLL_PROCESS_DETACH) {
        standin::LogLine(CallLog(), "Unload(hid) 1 live_preparsed=%u %s", LivePreparsedCount(),
                         reserved ? "exit" : "FreeLibrary");
        if (reportsLog != INVALID_HANDLE_VALUE) {
            CloseHandle(reportsLog);
            reportsLog = INVALID_HANDLE_VALUE;
        }
        virtual_hid::Unload();
        DeleteCriticalSection(&preparsedLock);
    }
    return TRUE;
}
