// The scenario language: one text file describes the world a run of the service
// meets (the button, the faults, the HID devices), how the service is started
// and stopped, and the reports it must send. The host tests play it on the
// simulated Windows, the end-to-end run under Wine through the stand-in DLLs.
//
// One directive per line, '#' starts a comment. Times are milliseconds since
// the capture library was loaded (the service opens the device about a second
// later).
//
//   service B M I P C        the service's five numbers
//   library cdecl|stdcall    the capture library's calling convention (default cdecl)
//   stop T                   the stop control comes at T
//   press T D                the button is down from T for D
//   button T down|up|N       the button reads down (1), up (3) or N from T on
//   CALL fail FROM TO [R]    calls of CALL made in [FROM, TO) fail; TO may be "end"
//   CALL fail nth N [R]      the Nth call of CALL fails
//   CALL block FROM TO       a call made in [FROM, TO) returns only at TO
//   device [OPTION ...]      a present HID device (none listed: the virtual joystick)
//   no-hid-devices           no HID device at all
//   expect T VALUE ROLE      the service sends VALUE at T; ROLE names it (down, click-end, ...)
//   expect none              the service sends nothing
//
// CALL is init, open, initi2c, gpio, close or destroy for the capture library's
// calls, or a platform function's name. R is what a capture call returns (by
// default its failure value) or the error a platform call leaves. The device
// options: ids=A|B, noids, page=N, usage=N, open=fail, preparsed=fail,
// caps=fail, feature=fail, featurelength=N, restart=T, pad=N.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "world/capture_device.h"
#include "world/faults.h"
#include "world/hid_devices.h"

namespace world {

struct Expected {
    long time;
    int value;
    std::string role;
};

struct Scenario {
    std::string service; // "4 1 0 30 250"
    std::string library = "cdecl";
    long stopAt = -1;
    CaptureDevice capture;
    std::vector<Fault> faults;
    std::vector<HidDevice> devices; // the virtual joystick unless the file says otherwise
    std::vector<Expected> expected;
    bool expectNothing = false;
    std::vector<std::string> ignored; // "line N: text" for each line not understood
};

// Parses a whole file; lines not understood are listed in `ignored`.
Scenario ParseScenario(std::string_view text);

// Parses a whole word as a signed decimal (or 0x-prefixed hexadecimal) number.
bool ParseNumber(std::string_view word, long& value);

} // namespace world
