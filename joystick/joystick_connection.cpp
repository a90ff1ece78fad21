#include "joystick/virtual_joystick.h"
#include "platform/event_log.h"

int Init_ZUR_GP() {
    char* path = static_cast<char*>(LocalAlloc(LPTR, devicePathSize));
    if (path == nullptr) {
        return 0;
    }
    joystickConnection.devicePath = path;
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
        LocalFree(joystickConnection.devicePath);
        joystickConnection.devicePath = nullptr;
        LogJoystickNotFound(joystickHardwareId);
    } else {
        LogJoystickFound(joystickConnection.devicePath);
    }
    return opened;
}

namespace {

SRWLOCK joystickLock = SRWLOCK_INIT;
// Counts every write, open and close of the joystick; guarded by joystickLock.
uint32_t joystickSerial = 0;

// Closes a handle given up by DetachJoystick and releases the path buffer.
void CloseJoystick(HANDLE device) {
    if (device != INVALID_HANDLE_VALUE && CloseHandle(device)) {
        PrintDeviceLine(" Destroy_ZUR_GP: OK \n");
    } else {
        PrintDeviceLine(" failed CloseHandle \n");
    }
    if (joystickConnection.devicePath != nullptr) {
        LocalFree(joystickConnection.devicePath);
        joystickConnection.devicePath = nullptr;
    }
}

} // namespace

void LockJoystick() {
    AcquireSRWLockExclusive(&joystickLock);
}

void UnlockJoystick() {
    ReleaseSRWLockExclusive(&joystickLock);
}

uint32_t JoystickSerialLocked() {
    return joystickSerial;
}

void CountJoystickWriteLocked() {
    ++joystickSerial;
}

void AttachJoystick(HANDLE device) {
    LockJoystick();
    joystickConnection.deviceHandle.store(device);
    joystickRefusedReport.store(false);
    ++joystickSerial;
    UnlockJoystick();
}

namespace {

// DetachJoystick's work, with the lock taken by the caller and let go here.
HANDLE DetachJoystickAndUnlock(const int32_t* lastValue) {
    bool refused = lastValue != nullptr && !WriteButtonReportLocked(*lastValue);
    // Given up before it is closed, so that a report from another thread finds no
    // joystick rather than a closed handle.
    HANDLE device = joystickConnection.deviceHandle.exchange(INVALID_HANDLE_VALUE);
    ++joystickSerial;
    UnlockJoystick();
    if (refused && device != INVALID_HANDLE_VALUE) {
        ReportRefused();
    }
    return device;
}

} // namespace

HANDLE DetachJoystick(const int32_t* lastValue) {
    LockJoystick();
    return DetachJoystickAndUnlock(lastValue);
}

HANDLE DetachJoystickIfFree(const int32_t* lastValue, int attempts) {
    // The lock's holder may be inside a report that a failing driver never
    // completes; a stop must not wait for it for ever. The lock, once had, is kept
    // for the detach, so no other holder can come between.
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (TryAcquireSRWLockExclusive(&joystickLock)) {
            return DetachJoystickAndUnlock(lastValue);
        }
        Sleep(1);
    }
    return INVALID_HANDLE_VALUE;
}

void Destroy_ZUR_GP() {
    CloseJoystick(DetachJoystick(nullptr));
}

void DestroyJoystickWithLastReport(int32_t lastValue) {
    CloseJoystick(DetachJoystick(&lastValue));
}

bool JoystickConnectionHeld() {
    return joystickConnection.devicePath != nullptr ||
           joystickConnection.deviceHandle.load() != INVALID_HANDLE_VALUE;
}
