// Stand-in for hid.dll: the HID class calls on the virtual devices of the
// device lines of world.scenario. Loaded instead of Wine's hid.dll through a
// per-application DLL override (see README.md).
//
// A handle belongs to a device when it refers to that device's file (the path
// that setupapi.dll hands out). The preparsed data, capabilities and the
// feature-report rules are the world's (world/hid_devices.h); every call goes to
// virtual_hid.log, HidD_SetFeature's with the report's bytes. It also gives a
// process without standard output a file for it (CaptureStream).
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

#include <cstdint>
#include <cstdio>

// The SDK header has declared these functions already, and dllexport added to a
// redeclaration is refused by clang (-Wdll-attribute-on-redeclaration): hid.def
// names the exports instead.
#define HID_EXPORT extern "C"

using virtual_hid::Answer;
using virtual_hid::EnterWorld;

namespace {

uint64_t Key(HANDLE handle) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
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
    standin::Write(virtual_hid::CallLog(), world::Called("CaptureStream", captured)
                                               .Arg("stream", standardFd == 1 ? "stdout" : "stderr")
                                               .Arg("path", path));
}

} // namespace

HID_EXPORT void WINAPI HidD_GetHidGuid(LPGUID HidGuid) {
    world::CopyGuid(*HidGuid, world::hidInterfaceClass);
    EnterWorld();
    Answer(world::Called("HidD_GetHidGuid")
               .Arg("guid", world::GuidText(world::hidInterfaceClass.bytes)));
}

HID_EXPORT BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE HidDeviceObject,
                                                PHIDP_PREPARSED_DATA* PreparsedData) {
    uintptr_t data = 0;
    world::DeviceTree& tree = EnterWorld();
    const BOOLEAN got =
        Answer(tree.GetPreparsed(Key(HidDeviceObject), virtual_hid::RefOfHandle(HidDeviceObject),
                                 PreparsedData != nullptr, virtual_hid::SinceLoadMs(), data));
    if (got) {
        *PreparsedData = reinterpret_cast<PHIDP_PREPARSED_DATA>(data);
    }
    return got;
}

HID_EXPORT BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA PreparsedData) {
    return Answer(EnterWorld().FreePreparsed(reinterpret_cast<uintptr_t>(PreparsedData)));
}

HID_EXPORT NTSTATUS WINAPI HidP_GetCaps(PHIDP_PREPARSED_DATA PreparsedData,
                                        PHIDP_CAPS Capabilities) {
    const world::HidInterface* caps = nullptr;
    world::DeviceTree& tree = EnterWorld();
    const int64_t status = Answer(
        tree.GetCaps(reinterpret_cast<uintptr_t>(PreparsedData), Capabilities != nullptr, caps));
    world::FillCaps(Capabilities, caps);
    return static_cast<NTSTATUS>(status);
}

// Every report, accepted or not, is a record of the log.
HID_EXPORT BOOLEAN WINAPI HidD_SetFeature(HANDLE HidDeviceObject, PVOID ReportBuffer,
                                          ULONG ReportBufferLength) {
    world::DeviceTree& tree = EnterWorld();
    return Answer(tree.SetFeature(Key(HidDeviceObject), virtual_hid::RefOfHandle(HidDeviceObject),
                                  static_cast<const unsigned char*>(ReportBuffer),
                                  ReportBufferLength, true, virtual_hid::Faults(),
                                  virtual_hid::SinceLoadMs()));
}

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(self);
        virtual_hid::Load(self, "hid");
        CaptureStream(stdout, 1, "service_stdout.log");
        CaptureStream(stderr, 2, "service_stderr.log");
    } else if (reason == DLL_PROCESS_DETACH) {
        const int live = EnterWorld().LivePreparsed();
        virtual_hid::LeaveWorld();
        virtual_hid::Unload("hid", reserved != nullptr, "live_preparsed", live);
    }
    return TRUE;
}
