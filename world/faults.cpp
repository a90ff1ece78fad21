#include "world/faults.h"

#include <algorithm>
#include <utility>

namespace world {

void FaultTable::Add(Fault fault) {
    const int counted = Calls(fault.call);
    rules_.push_back(Rule{std::move(fault), counted});
}

void FaultTable::Clear() {
    rules_.clear();
    counts_.clear();
}

void FaultTable::Mend(std::string_view call, long now) {
    for (Rule& rule : rules_) {
        Fault& fault = rule.fault;
        if (fault.call != call) {
            continue;
        }
        if (fault.firstCall > 0) {
            // Rules by number end with the calls counted so far.
            fault.calls = std::min(
                fault.calls, std::max(0, Calls(call) - rule.countWhenAdded - fault.firstCall + 1));
        } else if (fault.until > now) {
            fault.until = std::max(fault.from, now);
        }
    }
}

const Fault* FaultTable::Fails(std::string_view call, long now) {
    auto it = counts_.find(call);
    if (it == counts_.end()) {
        it = counts_.emplace(std::string(call), 0).first;
    }
    const int number = ++it->second;
    // Rules of this call that can no longer apply go, so that a long run that
    // adds a rule at a time does not scan every rule it ever added. Clocks only
    // go forward.
    std::erase_if(rules_, [&](const Rule& rule) {
        const Fault& fault = rule.fault;
        return fault.call == call && (fault.firstCall > 0 ? number - rule.countWhenAdded >
                                                                fault.firstCall + fault.calls - 1
                                                          : now >= fault.until);
    });
    for (const Rule& rule : rules_) {
        const Fault& fault = rule.fault;
        if (fault.block || fault.call != call) {
            continue;
        }
        const int sinceAdded = number - rule.countWhenAdded;
        const bool hit = fault.firstCall > 0 ? sinceAdded >= fault.firstCall &&
                                                   sinceAdded < fault.firstCall + fault.calls
                                             : now >= fault.from && now < fault.until;
        if (hit) {
            return &fault;
        }
    }
    return nullptr;
}

FaultTable::Failure FaultTable::Fail(std::string_view call, long now, long failedResult,
                                     unsigned long documentedError) {
    const Fault* fault = Fails(call, now);
    if (fault == nullptr) {
        return {};
    }
    return {true, fault->result.value_or(failedResult),
            fault->error != 0 ? fault->error : documentedError};
}

long FaultTable::BlockedUntil(std::string_view call, long now) const {
    for (const Rule& rule : rules_) {
        const Fault& fault = rule.fault;
        if (fault.block && fault.call == call && now >= fault.from && now < fault.until) {
            return fault.until;
        }
    }
    return -1;
}

int FaultTable::Calls(std::string_view call) const {
    const auto it = counts_.find(call);
    return it == counts_.end() ? 0 : it->second;
}

} // namespace world
