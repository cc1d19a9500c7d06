// Waitable objects of the machine.
#pragma once

#include <optional>

#include "ntsim/ntsim.h"

namespace ntsim {

class Event : public Object {
public:
    const char *TypeName() const override { return "Event"; }
    NTSTATUS Wait(const std::optional<int64_t> &timeout) override;
    EVENT_TYPE type = SynchronizationEvent;
    bool signalled = false;
};

// What a wait on an object that stays unsignalled comes to: the time-out
// elapses (slept, scaled by --time-scale) and the wait answers
// STATUS_TIMEOUT; without a time-out it could never end, and the wait fails.
NTSTATUS WaitOut(const std::optional<int64_t> &timeout);

// The native system time: 100-ns units since 1601-01-01.
int64_t SystemTimeNow();

}  // namespace ntsim
