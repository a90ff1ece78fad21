// Button states to button reports, in the three modes.
//
// Mode 2 shares its state with the multimedia timer thread, and both send reports.
// Each press yields exactly one click, its own: the release and the timer callback
// decide under the joystick lock, and a report that follows a decision is written
// before the lock is let go. A timer belongs to the press that armed it: its id is
// stored under the lock before the callback can look for it, the release forgets it,
// and a callback whose id is not the armed one does nothing at all. So a callback
// that fires just as the button is released, or one left from an earlier press,
// can neither click for a later press nor click after a close.
#include "bridge/button_masks.h"
#include "bridge/pause_timer.h"
#include "bridge/poll_worker.h"
#include "joystick/virtual_joystick.h"

std::atomic<int32_t> buttonLatched{0};
std::atomic<int32_t> longPressState{longPressIdle};
std::atomic<UINT> longPressTimerId{0};

namespace {

constexpr UINT longPressDelayMs = 800;
constexpr UINT longPressResolutionMs = 50;
constexpr DWORD longClickMs = 250;

// A click sent by the worker; a stop ends its pause early.
void SendClick(int32_t pressed, int32_t lengthMs) {
    SendButtonReport(pressed);
    WorkerPause(lengthMs);
    SendButtonReport(buttonMasks.idleMask.load());
}

void ForgetLongPressTimerLocked() {
    UINT id = longPressTimerId.exchange(0);
    if (id != 0) {
        timeKillEvent(id);
    }
}

void ArmLongPress(int32_t buttonNumber) {
    LockJoystick();
    ForgetLongPressTimerLocked();
    longPressState.store(longPressArmed);
    // timeSetEvent does not wait for the timer thread, so it may be called with the
    // lock held; a callback that fires at once waits here until its id is stored.
    // The long press keeps its multimedia timer rather than the worker's
    // high-resolution one: it needs no better than the 50 ms asked for here, and
    // its callback must run while the worker polls on, on a thread of its own.
    longPressTimerId.store(timeSetEvent(longPressDelayMs, longPressResolutionMs, LongPressTimerProc,
                                        static_cast<DWORD_PTR>(buttonNumber),
                                        TIME_ONESHOT | TIME_CALLBACK_FUNCTION));
    UnlockJoystick();
}

void ReleaseLongPress(int32_t pulseMs) {
    LockJoystick();
    ForgetLongPressTimerLocked();
    bool shortClick = longPressState.exchange(longPressIdle) != longPressFired;
    bool sent = shortClick && WriteButtonReportLocked(buttonMasks.pressMask.load());
    UnlockJoystick();
    if (!shortClick) {
        return;
    }
    if (!sent) {
        ReportRefused();
    }
    WorkerPause(pulseMs);
    SendButtonReport(buttonMasks.idleMask.load());
}

} // namespace

void CancelLongPressTimer() {
    LockJoystick();
    ForgetLongPressTimerLocked();
    UnlockJoystick();
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
    LockJoystick();
    bool ownPress = timerId != 0 && longPressTimerId.load() == timerId;
    bool click = false;
    bool sent = false;
    uint32_t serial = 0;
    if (ownPress) {
        // The one-shot timer is spent; it is forgotten so that no release kills it.
        longPressTimerId.store(0);
        timeKillEvent(timerId);
        int32_t armed = longPressArmed;
        click = longPressState.compare_exchange_strong(armed, longPressFired);
        if (click) {
            sent = WriteButtonReportLocked(buttonMasks.secondMask.load());
            serial = JoystickSerialLocked();
        }
    }
    UnlockJoystick();
    if (!click) {
        return;
    }
    if (!sent) {
        ReportRefused();
    }
    // The timer thread's pause: a stop does not shorten it, and does not wait for
    // it. A close of the joystick meanwhile has already sent the idle value, and a
    // click of the next press replaced this one and ends itself: either way this
    // click is over. The thread is the multimedia timer's own, which the worker
    // cannot give a timer of its own to close when it ends, so the click makes one
    // for itself (one per long press).
    ExactSleep(longClickMs);
    LockJoystick();
    bool ended = JoystickSerialLocked() != serial;
    sent = ended || WriteButtonReportLocked(buttonMasks.idleMask.load());
    UnlockJoystick();
    if (!sent) {
        ReportRefused();
    }
}
