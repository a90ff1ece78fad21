// The fault table of the world outside the service: which calls of which
// platform function fail, and how. One table serves the simulated Windows and
// the stand-in DLLs alike.
//
// Plain C++, single-threaded: the caller serialises access and passes its own
// "now" (milliseconds on whatever clock it keeps).
#pragma once

#include <climits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace world {

constexpr long forever = LONG_MAX;

// One rule. A rule goes by number (the firstCall-th call after the rule was
// added, and the calls-1 after it) or, with firstCall 0, by time (calls made in
// [from, until)).
struct Fault {
    std::string call; // "CloseHandle", "HidD_SetFeature", "ZUR_USBIO_API_GetGPIO", ...
    int firstCall = 0;
    int calls = 1;
    long from = 0;
    long until = forever;
    // What the call returns instead, for calls that return a code; unset: the
    // call's own failure value.
    std::optional<long> result = std::nullopt;
    // The last error the call leaves, for calls that set one.
    unsigned long error = 0;
    // The call does not return before `until` (a driver that hangs), and then
    // answers as the table says for that time. Goes by time only.
    bool block = false;
};

class FaultTable {
  public:
    void Add(Fault fault);
    void Clear();
    // Ends at `now` every rule of `call` that would still apply after it: the
    // fault is mended from then on.
    void Mend(std::string_view call, long now);

    // Counts one call of `call` and returns the rule that makes it fail, or
    // null: the first rule added that applies wins. Block rules never match here.
    // The rule is valid until the next Fails, which drops rules that can no
    // longer apply.
    const Fault* Fails(std::string_view call, long now);
    // Counts one call as Fails does and turns its rule into the call's answer:
    // whether it fails, what it returns then (the rule's result, else
    // `failedResult`) and the last error it leaves (the rule's, else the one
    // Windows documents for the call).
    struct Failure {
        bool fails = false;
        long result = 0;
        unsigned long error = 0;
    };
    Failure Fail(std::string_view call, long now, long failedResult, unsigned long documentedError);
    // The time a call made now is held until, or -1. Does not count the call.
    long BlockedUntil(std::string_view call, long now) const;
    // Calls of `call` counted so far.
    int Calls(std::string_view call) const;
    bool Empty() const {
        return rules_.empty();
    }

  private:
    struct Rule {
        Fault fault;
        int countWhenAdded;
    };
    std::vector<Rule> rules_;
    std::map<std::string, int, std::less<>> counts_;
};

} // namespace world
