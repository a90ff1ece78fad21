// Button states to button reports, in the three modes.
//
// Mode 2 shares its state with the multimedia timer thread, and both send reports.
// Each press yields exactly one click, its own: the release and the timer callback
// decide under the joystick lock, and a report that follows a decision is written
// before the lock is let go. A timer belongs to the press that armed it: each press
// has a sequence number, given to its timer as the user value, the release forgets
// it, and a callback whose number is not the armed press's does nothing at all.
// The timer's id would not do: Windows documents no uniqueness for it, and older
// Wine handed every timer id 1, so the callback of a released press could take
// the next press for its own. So a callback that fires just as the button is
// released, or one left from an earlier press, can neither click for a later press
// nor click after a close.
#include "bridge/button_masks.h"
#include "bridge/pause_timer.h"
#include "bridge/poll_worker.h"
#include "joystick/virtual_joystick.h"

std::atomic<int32_t> buttonLatched{0};
std::atomic<int32_t> longPressState{longPressIdle};
std::atomic<UINT> longPressTimerId{0};
std::atomic<uint32_t> armedPress{0};
std::atomic<ButtonStateTap> buttonStateTap{nullptr};

namespace {

constexpr UINT longPressResolutionMs = 50;

// A click sent by the worker; a stop ends its pause early.
void SendClick(int32_t pressed, int32_t lengthMs) {
    SendButtonReport(pressed);
    WorkerPause(lengthMs);
    SendButtonReport(buttonMasks.idleMask.load());
}

// Numbers the presses; 0 stands for none. Guarded by the joystick lock.
uint32_t lastPress = 0;

// With the lock held: no callback acts for the armed press any more. Returns its
// timer, for KillLongPressTimer once the lock is let go.
UINT ForgetLongPressTimerLocked() {
    armedPress.store(0);
    return longPressTimerId.exchange(0);
}

// Never with the lock held: a kill that waited for a running callback
// (TIME_KILL_SYNCHRONOUS) would wait for one that waits for the lock. The id was
// cleared under the lock, and only the worker sets timers, so it cannot have been
// handed to another timer of ours in between.
void KillLongPressTimer(UINT id) {
    if (id != 0) {
        timeKillEvent(id);
    }
}

void ArmLongPress() {
    LockJoystick();
    UINT earlier = ForgetLongPressTimerLocked();
    UnlockJoystick();
    // Before the new timer is set: Windows may give it the same id.
    KillLongPressTimer(earlier);
    LockJoystick();
    lastPress = lastPress == UINT32_MAX ? 1 : lastPress + 1;
    armedPress.store(lastPress);
    longPressState.store(longPressArmed);
    // timeSetEvent does not wait for the timer thread, so it may be called with the
    // lock held; a callback that fires at once waits here until its id is stored.
    // The long press keeps its multimedia timer rather than the worker's
    // high-resolution one: it needs no better than the 50 ms asked for here, and
    // its callback must run while the worker polls on, on a thread of its own.
    longPressTimerId.store(timeSetEvent(longPressDelayMs, longPressResolutionMs, LongPressTimerProc,
                                        static_cast<DWORD_PTR>(lastPress),
                                        TIME_ONESHOT | TIME_CALLBACK_FUNCTION));
    UnlockJoystick();
}

void ReleaseLongPress(int32_t pulseMs) {
    LockJoystick();
    UINT timer = ForgetLongPressTimerLocked();
    bool shortClick = longPressState.exchange(longPressIdle) != longPressFired;
    int outcome = shortClick ? JoystickWriteLocked(buttonMasks.pressMask.load()) : reportTaken;
    UnlockJoystick();
    KillLongPressTimer(timer);
    if (!shortClick) {
        return;
    }
    PrintIfRefused(outcome);
    WorkerPause(pulseMs);
    SendButtonReport(buttonMasks.idleMask.load());
}

} // namespace

void CancelLongPressTimer() {
    LockJoystick();
    UINT timer = ForgetLongPressTimerLocked();
    UnlockJoystick();
    KillLongPressTimer(timer);
}

int TranslateButtonState(GpioState state, int32_t mode, [[maybe_unused]] int32_t buttonNumber,
                         int32_t pulseMs) {
    if (ButtonStateTap tap = buttonStateTap.load()) {
        tap(state);
    }
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
            ArmLongPress();
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

void CALLBACK LongPressTimerProc(UINT timerId, UINT, DWORD_PTR press, DWORD_PTR, DWORD_PTR) {
    LockJoystick();
    bool ownPress = press != 0 && armedPress.load() == press;
    bool click = false;
    int outcome = reportTaken;
    uint32_t serial = 0;
    if (ownPress) {
        // The one-shot timer is spent; it is forgotten so that no release kills it.
        // Its own kill stays under the lock: only there is its press surely still
        // armed, so that the id cannot belong to a later press's timer yet.
        ForgetLongPressTimerLocked();
        timeKillEvent(timerId);
        int32_t armed = longPressArmed;
        click = longPressState.compare_exchange_strong(armed, longPressFired);
        if (click) {
            outcome = JoystickWriteLocked(buttonMasks.secondMask.load());
            serial = JoystickSerialLocked();
        }
    }
    UnlockJoystick();
    if (!click) {
        return;
    }
    PrintIfRefused(outcome);
    // The timer thread's pause: a stop does not shorten it, and does not wait for
    // it. A close of the joystick meanwhile has already sent the idle value, and a
    // click of the next press replaced this one and ends itself: either way this
    // click is over. The thread is the multimedia timer's own, which the worker
    // cannot give a timer of its own to close when it ends, so the click makes one
    // for itself (one per long press).
    ExactSleep(longClickMs);
    LockJoystick();
    bool ended = JoystickSerialLocked() != serial;
    outcome = ended ? reportTaken : JoystickWriteLocked(buttonMasks.idleMask.load());
    UnlockJoystick();
    PrintIfRefused(outcome);
}
