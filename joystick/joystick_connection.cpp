// The one owner of the virtual joystick: its lock, handle, path, serial and refused
// flag live in joystickConnection, and only the open, the write and the close here
// change them. The named entry points (Init_ZUR_GP, Destroy_ZUR_GP, ReleaseJoystick,
// SendButtonReport, the stop's let-go) are thin calls of these.
#include "joystick/virtual_joystick.h"
#include "platform/event_log.h"

JoystickConnection joystickConnection = {SRWLOCK_INIT, INVALID_HANDLE_VALUE, nullptr, 0, false, 0,
                                         false};

namespace {

void FreeJoystickPath() {
    if (joystickConnection.devicePath != nullptr) {
        LocalFree(joystickConnection.devicePath);
        joystickConnection.devicePath = nullptr;
    }
}

// With the lock taken by the caller: writes the last value (when given), gives the
// handle up and lets the lock go. Given up before it is closed, so that a report
// from another thread finds no joystick rather than a closed handle.
HANDLE GiveUpJoystickAndUnlock(const int32_t* lastValue) {
    int outcome = lastValue != nullptr ? JoystickWriteLocked(*lastValue) : reportTaken;
    HANDLE device = joystickConnection.deviceHandle.exchange(INVALID_HANDLE_VALUE);
    ++joystickConnection.serial;
    UnlockJoystick();
    PrintIfRefused(outcome);
    return device;
}

} // namespace

int JoystickOpen() {
    // The path's one allocation; JoystickClose releases it, or the failed open here.
    joystickConnection.devicePath = static_cast<char*>(LocalAlloc(LPTR, devicePathSize));
    if (joystickConnection.devicePath == nullptr) {
        return 0;
    }
    int opened = 0;
    GUID hidClass;
    HidD_GetHidGuid(&hidClass);
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device = {};
    if (FindDeviceByHardwareId(SPDRP_HARDWAREID, &hidClass, joystickHardwareId, &set, &device,
                               DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) == 0) {
        SP_DEVICE_INTERFACE_DATA deviceInterface = {};
        deviceInterface.cbSize = sizeof deviceInterface;
        device.cbSize = sizeof device;
        for (DWORD index = 0; !opened && SetupDiEnumDeviceInterfaces(set, &device, &hidClass, index,
                                                                     &deviceInterface);
             ++index) {
            opened = OpenDeviceInterface(set, &deviceInterface);
        }
    }
    if (set != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(set);
    }
    if (!opened) {
        FreeJoystickPath();
        LogJoystickNotFound(joystickHardwareId);
    } else {
        LogJoystickFound(joystickConnection.devicePath);
    }
    return opened;
}

bool AttachJoystick(HANDLE device) {
    LockJoystick();
    const bool kept = !joystickConnection.givenUp.load();
    if (kept) {
        joystickConnection.deviceHandle.store(device);
        joystickConnection.refused.store(false);
        ++joystickConnection.serial;
    }
    UnlockJoystick();
    return kept;
}

int JoystickWriteLocked(int32_t value) {
    ButtonFeatureReport report = MakeButtonFeatureReport(value);
    HANDLE device = joystickConnection.deviceHandle.load();
    // INVALID_HANDLE_VALUE doubles as the current-process pseudo-handle, so it is
    // never handed to the HID library: with no joystick open nothing is sent.
    if (device == INVALID_HANDLE_VALUE) {
        return reportNoJoystick;
    }
    ++joystickConnection.serial;
    joystickConnection.writer.store(GetCurrentThreadId());
    const BOOLEAN taken = HidD_SetFeature(device, &report, sizeof report);
    joystickConnection.writer.store(0);
    // Under the lock, so that a console's lines come in the order of the reports.
    if (ReportTap tap = reportTap.load()) {
        tap(report, taken != FALSE);
    }
    if (taken == FALSE) {
        const DWORD error = GetLastError();
        if (!joystickConnection.refused.exchange(true)) {
            joystickConnection.refusalToLog.store(error != 0 ? error : ERROR_INVALID_FUNCTION);
        }
        return reportRefused;
    }
    return reportTaken;
}

void JoystickClose(const int32_t* lastValue) {
    LockJoystick();
    HANDLE device = GiveUpJoystickAndUnlock(lastValue);
    if (device != INVALID_HANDLE_VALUE && CloseHandle(device)) {
        PrintDeviceLine(" Destroy_ZUR_GP: OK \n");
    } else {
        PrintDeviceLine(" failed CloseHandle \n");
    }
    FreeJoystickPath();
}

namespace {

// HidD_SetFeature is a synchronous device I/O control on a handle opened without
// FILE_FLAG_OVERLAPPED, which CancelSynchronousIo ends on the thread that waits in
// it (the call then fails with ERROR_OPERATION_ABORTED). The writer's id is read
// without the lock, which it holds: while it is set, that thread is inside the
// write and cannot have ended, and at worst another write of ours is cancelled.
void CancelWriteInProgress() {
    const DWORD writer = joystickConnection.writer.load();
    if (writer == 0 || writer == GetCurrentThreadId()) {
        return;
    }
    HANDLE thread = OpenThread(THREAD_TERMINATE, FALSE, writer);
    if (thread != nullptr) {
        CancelSynchronousIo(thread);
        CloseHandle(thread);
    }
}

} // namespace

bool JoystickLetGoFromStop(int32_t lastValue, DWORD deadlineMs) {
    // The lock, once had, is kept for the give-up, so no other holder can come
    // between. The deadline is on the tick count: Sleep(1) lasts up to a tick
    // (15.6 ms) on Windows, so counting sleeps would stretch it sixteenfold.
    joystickConnection.givenUp.store(true);
    const DWORD start = GetTickCount();
    for (;;) {
        if (TryAcquireSRWLockExclusive(&joystickConnection.lock)) {
            HANDLE device = GiveUpJoystickAndUnlock(&lastValue);
            if (device == INVALID_HANDLE_VALUE) {
                return false;
            }
            CloseHandle(device);
            return true;
        }
        CancelWriteInProgress();
        if (GetTickCount() - start >= deadlineMs) {
            return false;
        }
        Sleep(1);
    }
}

void LockJoystick() {
    AcquireSRWLockExclusive(&joystickConnection.lock);
}

void UnlockJoystick() {
    ReleaseSRWLockExclusive(&joystickConnection.lock);
}

uint32_t JoystickSerialLocked() {
    return joystickConnection.serial;
}

bool JoystickRefusedAReport() {
    return joystickConnection.refused.load();
}

bool JoystickConnectionHeld() {
    return joystickConnection.devicePath != nullptr ||
           joystickConnection.deviceHandle.load() != INVALID_HANDLE_VALUE;
}

int Init_ZUR_GP() {
    return JoystickOpen();
}

void Destroy_ZUR_GP() {
    JoystickClose(nullptr);
}

void SendButtonReport(int32_t value) {
    LockJoystick();
    int outcome = JoystickWriteLocked(value);
    UnlockJoystick();
    PrintIfRefused(outcome);
}
