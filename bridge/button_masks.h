// The button bridge: which joystick button values stand for the capture device's
// button, how its states become button reports, and the worker that polls it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win32.h"
#include "usbio/usbio_api.h"

// The three button values for the configured buttons. The long-press callback
// reads them on the timer thread, so each is stored only with its final value.
struct ButtonMasks {
    std::atomic<int32_t> pressMask;  // the first button pressed
    std::atomic<int32_t> secondMask; // the second button (b + 1) pressed, mode 2 only
    std::atomic<int32_t> idleMask;   // neither pressed
};

extern ButtonMasks buttonMasks;

// Translation state, kept across capture connections.
extern std::atomic<int32_t> buttonLatched; // a press was acted on, its release not yet
// Mode 2, decided under the joystick lock (see LockJoystick), since the release and
// the timer callback race for each press and their reports must not cross:
extern std::atomic<int32_t> longPressState; // 0 idle, 1 armed, 2 long click sent
extern std::atomic<UINT> longPressTimerId;  // the armed press's timer, 0 when none
// The armed press's sequence number, 0 when none: its timer's user value.
extern std::atomic<uint32_t> armedPress;

// A mode-2 press held this long sends the second button's click, of this length.
constexpr UINT longPressDelayMs = 800;
constexpr DWORD longClickMs = 250;

constexpr int32_t longPressIdle = 0;
constexpr int32_t longPressArmed = 1;
constexpr int32_t longPressFired = 2;

// 1 << (n - 1) for buttons 1 to 8, 0 for any other n.
int32_t ButtonBit(int32_t n);

void ComputeButtonMasks(int32_t mode, int32_t buttonNumber, int32_t inverted);

// Shown each button state the worker reads, before it is acted on; set only by the
// console runner, so the service pays one load per poll for it.
using ButtonStateTap = void (*)(GpioState state);
extern std::atomic<ButtonStateTap> buttonStateTap;

// Acts on one button state. Returns 1 when the state called for an action that the
// mode does not know (modes other than 0, 1 and 2), 0 otherwise.
int TranslateButtonState(GpioState state, int32_t mode, int32_t buttonNumber, int32_t pulseMs);

// Fires 800 ms after a mode-2 press; sends the second button's click if the button
// is still held. Runs on the multimedia timer thread; user is the sequence number
// of the press that armed the timer.
void CALLBACK LongPressTimerProc(UINT timerId, UINT message, DWORD_PTR user, DWORD_PTR dw1,
                                 DWORD_PTR dw2);

// Kills the pending long-press timer, if any, so that it can no longer act.
void CancelLongPressTimer();
