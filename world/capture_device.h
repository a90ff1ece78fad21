// The capture device as its maker's library "ZUR_USBIO_KAD.dll" presents it: a
// push-button that follows a timeline, and six calls whose results the fault
// table may change. The simulated Windows and the stand-in DLL both answer
// from here; they only add their clock, lock and log.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "world/call_log.h"
#include "world/faults.h"

namespace world {

enum class CaptureCall { Init, Open, InitI2c, GetGpio, Close, Destroy };
constexpr int captureCallCount = 6;

// The export's name, which is also the call's name in the fault table.
const char* CaptureExport(CaptureCall call);

// What GetGPIO stores.
constexpr int buttonDown = 1;
constexpr int buttonUp = 3;

struct CaptureAnswer {
    int result;
    bool stored; // GetGPIO stored `state`
    int state;
};

class CaptureDevice {
  public:
    // The button reads `state` from `from` on; steps may come in any order, and
    // of two at the same time the later one added wins. Before any step: up.
    void SetButton(long from, int state);
    void Press(long at, long length);
    int ButtonAt(long now) const;
    const std::vector<std::pair<long, int>>& Steps() const {
        return steps_;
    }
    void Clear() {
        steps_.clear();
    }

    // One call made at `now`: success (1 for Init, 0 for the others, GetGPIO
    // storing the button) unless a rule of `faults` makes it fail, with the
    // rule's result or the call's own failure value (0 for Init, 1 otherwise).
    // GetGPIO without a place to store the state returns 2.
    CaptureAnswer Answer(CaptureCall call, long now, FaultTable& faults,
                         bool canStore = true) const;

    // The whole call as the library makes it, made at `now` on the device
    // `deviceIndex` (-1: a call without one): held while a block rule says so
    // (a library stuck in its driver: `wait(until)` lets the time pass and
    // gives the time then), then answered for its own time. `record` gets the
    // "Blocked" record when held, then the call's record.
    CaptureAnswer Call(CaptureCall call, int deviceIndex, bool canStore, long now,
                       FaultTable& faults, const std::function<long(long until)>& wait,
                       const std::function<void(CallRecord)>& record) const;

  private:
    std::vector<std::pair<long, int>> steps_;
};

} // namespace world
