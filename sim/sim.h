// Test-side control of the simulated Windows: the virtual clock, the log of
// platform calls, and the scripted pieces of the machine the product runs on.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/windows.h"

namespace sim {

// One platform call as the product made it: virtual time in milliseconds, the
// Windows name of the call and its arguments (and result, after "->") as text.
struct Call {
    uint32_t time;
    std::string name;
    std::string args;
};

// A feature report that reached HidD_SetFeature, with its bytes and whether the
// device accepted it.
struct Report {
    uint32_t time;
    std::vector<uint8_t> bytes;
    bool accepted;
};

// Forgets every call, device, timer and captured line, and sets the clock to 0.
void Reset();

// Milliseconds of virtual time since Reset.
uint32_t Now();

// Lets virtual time pass on the calling thread, exactly as Sleep does: timers that
// fall due run, in due order, at their due time.
void Advance(uint32_t milliseconds);

std::vector<Call> Calls();
std::vector<Call> CallsNamed(std::string_view name);
std::vector<Report> Reports();

// Lines that the product passed to OutputDebugStringA, without their line ends.
std::vector<std::string> DebugLines();

// The multimedia timers that are set and have not fired or been killed.
size_t PendingTimers();

// A HID device handle of the virtual joystick, open as if by CreateFileA.
HANDLE OpenJoystickHandle();
// Makes the joystick refuse (true) or accept (false) feature reports.
void RefuseFeatureReports(bool refuse);

// Everything the product wrote to standard output since the capture began.
// The capture redirects the process's standard output, so that printf and
// std::cout alike land here.
void BeginStdoutCapture();
std::string TakeStdout();
// Ends the capture; the captured text goes to the real standard output when echo is set.
void EndStdoutCapture(bool echo);

} // namespace sim
