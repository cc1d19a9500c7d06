// One platform call as the stand-in sees it: numbered per name, checked
// against the --fail and --pend rules, and written to the trace with the
// arguments that matter and the status it returned.
//
// Every native function the stand-in implements begins with a Call, so
// tracing and fault injection come with it:
//
//     NTSTATUS NtClose(HANDLE h) {
//         ntsim::Call call("NtClose");
//         call.Arg("handle", h);
//         if (call.faulted()) return call.Return(call.faultStatus());
//         ...
//         return call.Return(status);
//     }
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ntsim/ntsim.h"

namespace ntsim {

class Call {
public:
    explicit Call(const char *name);
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
    ~Call();

    uint64_t ordinal() const { return ordinal_; }
    bool faulted() const { return fault_.has_value(); }
    NTSTATUS faultStatus() const { return fault_.value_or(0); }
    bool pended() const { return pended_; }

    Call &Arg(std::string_view key, std::string_view value);
    Call &Arg(std::string_view key, const char16_t *wide);        // quoted, or null
    Call &ArgWide(std::string_view key, std::u16string_view wide);  // quoted
    Call &ArgHex(std::string_view key, uint64_t value);
    Call &ArgDec(std::string_view key, int64_t value);
    Call &Arg(std::string_view key, HANDLE handle);
    Call &ArgBytes(std::string_view key, const void *data, size_t length);
    // Free text after the arguments (e.g. what a completion did).
    Call &Note(std::string_view text);

    // Ends the call with a status: traces it and hands it back.
    NTSTATUS Return(NTSTATUS status);
    // Ends a call whose result is not a status.
    void ReturnText(std::string_view result);
    void ReturnVoid();

private:
    void Flush(const std::string &result);
    const char *name_;
    uint64_t ordinal_;
    std::optional<NTSTATUS> fault_;
    bool pended_;
    std::string args_;
    std::string notes_;
    bool done_ = false;
};

std::string HandleText(HANDLE handle);
std::string QuoteUtf16(std::u16string_view text);
std::string QuoteUtf8(std::string_view text);

}  // namespace ntsim
