// Events, waits and the closing of handles.
#include <chrono>
#include <cstdio>

#include "ntsim/call.h"
#include "ntsim/ntsim.h"
#include "ntsim/sync.h"

namespace ntsim {

// 100-ns units since 1601-01-01, the native system time.
int64_t SystemTimeNow() {
    using namespace std::chrono;
    constexpr int64_t kUnixEpochIn1601Units = 116444736000000000LL;
    auto since = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return kUnixEpochIn1601Units + since / 100;
}

NTSTATUS WaitOut(const std::optional<int64_t> &timeout) {
    if (!timeout) {
        // Nothing else runs on this machine that could signal the object: a
        // wait without time-out would never end.
        fprintf(stderr, "ntsim: wait without time-out on an object that nothing can signal\n");
        return STATUS_POSSIBLE_DEADLOCK;
    }
    int64_t length = *timeout < 0 ? -*timeout : *timeout - SystemTimeNow();
    Machine::Get().SleepFor(length);
    return STATUS_TIMEOUT;
}

NTSTATUS Event::Wait(const std::optional<int64_t> &timeout) {
    if (signalled) {
        if (type == SynchronizationEvent) signalled = false;
        return STATUS_WAIT_0;
    }
    return WaitOut(timeout);
}

}  // namespace ntsim

using ntsim::Call;
using ntsim::Machine;

extern "C" {

NTSTATUS NTAPI NtCreateEvent(PHANDLE eventHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                             EVENT_TYPE type, BOOLEAN initialState) {
    Call call("NtCreateEvent");
    call.ArgHex("access", access)
        .ArgDec("type", type)
        .ArgDec("initial", initialState)
        .Arg("name", attributes && attributes->ObjectName && attributes->ObjectName->Buffer
                         ? ntsim::QuoteUtf16(std::u16string_view(attributes->ObjectName->Buffer,
                                                                  attributes->ObjectName->Length / 2))
                         : std::string("none"));
    if (call.faulted()) return call.Return(call.faultStatus());
    if (!eventHandle) return call.Return(STATUS_ACCESS_VIOLATION);
    if (type != NotificationEvent && type != SynchronizationEvent) return call.Return(STATUS_INVALID_PARAMETER);
    if (attributes && attributes->Length != sizeof(OBJECT_ATTRIBUTES)) return call.Return(STATUS_INVALID_PARAMETER);
    auto event = std::make_shared<ntsim::Event>();
    event->type = type;
    event->signalled = initialState != 0;
    *eventHandle = Machine::Get().Insert(event);
    call.Arg("handle", *eventHandle);
    return call.Return(STATUS_SUCCESS);
}

NTSTATUS NTAPI NtWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout) {
    Call call("NtWaitForSingleObject");
    call.Arg("handle", handle).ArgDec("alertable", alertable);
    if (timeout) call.ArgDec("timeout", timeout->QuadPart);
    else call.Arg("timeout", std::string_view("infinite"));
    if (call.faulted()) return call.Return(call.faultStatus());
    auto object = Machine::Get().Lookup(handle);
    if (!object) return call.Return(STATUS_INVALID_HANDLE);
    std::optional<int64_t> wait;
    if (timeout) wait = timeout->QuadPart;
    return call.Return(object->Wait(wait));
}

NTSTATUS NTAPI NtClose(HANDLE handle) {
    Call call("NtClose");
    call.Arg("handle", handle);
    if (call.faulted()) return call.Return(call.faultStatus());
    auto object = Machine::Get().Lookup(handle);
    if (object) call.Note(object->TypeName());
    return call.Return(Machine::Get().CloseHandle(handle));
}

}  // extern "C"
