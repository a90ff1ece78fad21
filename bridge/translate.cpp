// Button states to button reports, in the three modes.
//
// Mode 2 shares its state with the multimedia timer thread. Each press yields
// exactly one click: the release and the timer callback each claim longPressState
// with one atomic operation (release: anything but "fired" becomes idle; callback:
// "armed" becomes "fired"), and only one of them can win. A timer belongs to the
// press that set it: the release kills it and forgets its id, and a callback whose
// id is not the current one does nothing at all, so a timer left over from an
// earlier press can never click for a later one.
#include "bridge/button_masks.h"
#include "joystick/virtual_joystick.h"

std::atomic<int32_t> buttonLatched{0};
std::atomic<int32_t> longPressState{longPressIdle};
std::atomic<UINT> longPressTimerId{0};

namespace {

constexpr UINT longPressDelayMs = 800;
constexpr UINT longPressResolutionMs = 50;
constexpr int32_t longClickMs = 250;

void SendClick(int32_t pressed, int32_t lengthMs) {
    SendButtonReport(pressed);
    PauseMs(lengthMs);
    SendButtonReport(buttonMasks.idleMask.load());
}

void ArmLongPress(int32_t buttonNumber) {
    // The id is forgotten before the state is armed, so that no earlier timer can
    // take the new press for its own.
    CancelLongPressTimer();
    longPressState.store(longPressArmed);
    UINT id =
        timeSetEvent(longPressDelayMs, longPressResolutionMs, LongPressTimerProc,
                     static_cast<DWORD_PTR>(buttonNumber), TIME_ONESHOT | TIME_CALLBACK_FUNCTION);
    longPressTimerId.store(id);
}

void ReleaseLongPress(int32_t pulseMs) {
    CancelLongPressTimer();
    if (longPressState.exchange(longPressIdle) != longPressFired) {
        SendClick(buttonMasks.pressMask.load(), pulseMs);
    }
}

} // namespace

void CancelLongPressTimer() {
    UINT id = longPressTimerId.exchange(0);
    if (id != 0) {
        timeKillEvent(id);
    }
}

int TranslateButtonState(GpioState state, int32_t mode, int32_t buttonNumber, int32_t pulseMs) {
    if (state == gpioButtonDown) {
        if (buttonLatched.load() != 0) {
            return 0;
        }
        buttonLatched.store(1);
        switch (mode) {
        case 0:
            SendButtonReport(buttonMasks.pressMask.load());
            break;
        case 1:
            SendClick(buttonMasks.pressMask.load(), pulseMs);
            break;
        case 2:
            ArmLongPress(buttonNumber);
            break;
        default:
            return 1;
        }
    } else if (state == gpioButtonUp) {
        if (buttonLatched.load() == 1) {
            switch (mode) {
            case 0:
            case 1:
                SendButtonReport(buttonMasks.idleMask.load());
                break;
            case 2:
                ReleaseLongPress(pulseMs);
                break;
            default:
                return 1;
            }
        }
        buttonLatched.store(0);
    }
    return 0;
}

void CALLBACK LongPressTimerProc(UINT timerId, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (timerId == 0 || longPressTimerId.load() != timerId) {
        return;
    }
    int32_t armed = longPressArmed;
    if (longPressState.compare_exchange_strong(armed, longPressFired)) {
        SendClick(buttonMasks.secondMask.load(), longClickMs);
    }
    // The timer is spent; forget it unless a release already has.
    UINT current = timerId;
    if (longPressTimerId.compare_exchange_strong(current, 0)) {
        timeKillEvent(timerId);
    }
}
