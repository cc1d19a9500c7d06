// The machine's state: options, call accounting, trace, outputs, handles,
// the thread environment block and the end of the native process.
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <thread>

#include "ntsim/call.h"
#include "ntsim/ntsim.h"

namespace ntsim {

NTSTATUS Object::Wait(const std::optional<int64_t> &) { return STATUS_OBJECT_TYPE_MISMATCH; }

Machine &Machine::Get() {
    static Machine machine;
    return machine;
}

void Machine::Reset(const Options &options) {
    if (traceFile_) fclose(traceFile_);
    if (debugLog_ && debugLog_ != stderr) fclose(debugLog_);
    traceFile_ = nullptr;
    debugLog_ = nullptr;
    // Objects may refer to each other; drop the table before the extensions.
    handles_.clear();
    extensions_.clear();
    options_ = options;
    callCounts_.clear();
    trace_.clear();
    bootScreen_.clear();
    debugOutput_.clear();
    nextHandle_ = 0x40;
    teb_.assign(0x2000, 0);
    processHeap_ = nullptr;
    exitStatus_.reset();
    endHooks_.clear();
    terminateJump_ = nullptr;
    if (!options_.traceFile.empty()) {
        traceFile_ = fopen(options_.traceFile.c_str(), "w");
        if (!traceFile_) fprintf(stderr, "ntsim: cannot write the trace to %s\n", options_.traceFile.c_str());
    }
    if (!options_.debugLogFile.empty()) {
        debugLog_ = fopen(options_.debugLogFile.c_str(), "w");
        if (!debugLog_) fprintf(stderr, "ntsim: cannot write debugger output to %s\n", options_.debugLogFile.c_str());
    }
    if (!debugLog_) debugLog_ = stderr;
}

uint64_t Machine::CountCall(std::string_view name) {
    auto it = callCounts_.find(name);
    if (it == callCounts_.end()) it = callCounts_.emplace(std::string(name), 0).first;
    return ++it->second;
}

uint64_t Machine::CallCount(std::string_view name) const {
    auto it = callCounts_.find(name);
    return it == callCounts_.end() ? 0 : it->second;
}

std::optional<NTSTATUS> Machine::FaultFor(std::string_view name, uint64_t ordinal) const {
    for (const auto &rule : options_.faults)
        if (rule.call == name && rule.ordinal == ordinal) return rule.status;
    return std::nullopt;
}

bool Machine::PendFor(std::string_view name, uint64_t ordinal) const {
    for (const auto &rule : options_.pends)
        if (rule.call == name && rule.ordinal == ordinal) return true;
    return false;
}

void Machine::Trace(const std::string &line) {
    trace_.push_back(line);
    if (traceFile_) {
        fputs(line.c_str(), traceFile_);
        fputc('\n', traceFile_);
        fflush(traceFile_);
    }
}

void Machine::BootScreen(std::string_view utf8) {
    bootScreen_.append(utf8);
    if (options_.echoOutputs) {
        fwrite(utf8.data(), 1, utf8.size(), stdout);
        fflush(stdout);
    }
}

void Machine::DebugOutput(std::string_view utf8) {
    debugOutput_.append(utf8);
    if (options_.echoOutputs || debugLog_ != stderr) {
        fwrite(utf8.data(), 1, utf8.size(), debugLog_);
        fflush(debugLog_);
    }
}

HANDLE Machine::Insert(std::shared_ptr<Object> object) {
    uintptr_t value = nextHandle_;
    nextHandle_ += 4;  // native handles are multiples of four
    handles_.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> Machine::Lookup(HANDLE handle) const {
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    return it == handles_.end() ? nullptr : it->second;
}

NTSTATUS Machine::CloseHandle(HANDLE handle) {
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles_.end()) return STATUS_INVALID_HANDLE;
    std::shared_ptr<Object> object = std::move(it->second);
    handles_.erase(it);
    if (HandleCountOf(object.get()) == 0) object->OnLastHandleClosed();
    return STATUS_SUCCESS;
}

size_t Machine::HandleCountOf(const Object *object) const {
    size_t count = 0;
    for (const auto &[value, entry] : handles_)
        if (entry.get() == object) ++count;
    return count;
}

std::vector<std::string> Machine::OpenHandleDescriptions() const {
    std::vector<std::string> out;
    for (const auto &[value, entry] : handles_)
        out.push_back(HandleText(reinterpret_cast<HANDLE>(value)) + " " + entry->TypeName());
    return out;
}

NTSTATUS &Machine::LastStatus() {
    return *reinterpret_cast<NTSTATUS *>(teb_.data() + kTebLastStatusOffset);
}

void Machine::SleepFor(int64_t hundredNanoseconds) const {
    if (hundredNanoseconds <= 0 || options_.timeScale <= 0) return;
    double micros = static_cast<double>(hundredNanoseconds) / 10.0 * options_.timeScale;
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(micros)));
}

void Machine::OffNativeStack(const std::function<void()> &work) { std::thread(work).join(); }

void Machine::Terminate(NTSTATUS status) {
    exitStatus_ = status;
    if (terminateJump_) longjmp(*static_cast<std::jmp_buf *>(terminateJump_), 1);
    // No process frame to return to (a native call made outside
    // RunNativeProcess): end the Linux process as the native one would end.
    RunProcessEndHooks();
    fflush(nullptr);
    _exit(status == 0 ? 0 : 1);
}

void Machine::RunProcessEndHooks() {
    auto hooks = std::move(endHooks_);
    endHooks_.clear();
    for (auto &hook : hooks) hook();
}

std::optional<std::filesystem::path> Machine::DriveFolder(char letter) const {
    char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    if (lower < 'a' || lower > 'z') return std::nullopt;
    if (!options_.rootGiven) {
        if (lower == 'c') return std::filesystem::current_path();
        return std::nullopt;
    }
    std::filesystem::path folder = options_.root / std::string(1, lower);
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) return std::nullopt;
    return folder;
}

// ---------------------------------------------------------------------------
// Call
// ---------------------------------------------------------------------------

Call::Call(const char *name) : name_(name) {
    Machine &machine = Machine::Get();
    ordinal_ = machine.CountCall(name);
    fault_ = machine.FaultFor(name, ordinal_);
    pended_ = !fault_ && machine.PendFor(name, ordinal_);
}

Call::~Call() {
    if (!done_) Flush("(no result)");
}

Call &Call::Arg(std::string_view key, std::string_view value) {
    if (!args_.empty()) args_ += ", ";
    args_.append(key).append("=").append(value);
    return *this;
}

Call &Call::Arg(std::string_view key, const char16_t *wide) {
    if (!wide) return Arg(key, std::string_view("null"));
    return ArgWide(key, std::u16string_view(wide));
}

Call &Call::ArgWide(std::string_view key, std::u16string_view wide) { return Arg(key, QuoteUtf16(wide)); }

Call &Call::ArgHex(std::string_view key, uint64_t value) {
    char text[32];
    snprintf(text, sizeof text, value > 0xFFFFFFFFull ? "0x%016llx" : "0x%08llx",
             static_cast<unsigned long long>(value));
    return Arg(key, std::string_view(text));
}

Call &Call::ArgDec(std::string_view key, int64_t value) { return Arg(key, std::to_string(value)); }

Call &Call::Arg(std::string_view key, HANDLE handle) { return Arg(key, HandleText(handle)); }

Call &Call::ArgBytes(std::string_view key, const void *data, size_t length) {
    std::string hex;
    if (!data) {
        hex = "null";
    } else {
        hex.reserve(length * 2);
        static const char digits[] = "0123456789abcdef";
        for (size_t i = 0; i < length; ++i) {
            uint8_t b = static_cast<const uint8_t *>(data)[i];
            hex += digits[b >> 4];
            hex += digits[b & 15];
        }
    }
    return Arg(key, hex);
}

Call &Call::Note(std::string_view text) {
    if (!notes_.empty()) notes_ += "; ";
    notes_.append(text);
    return *this;
}

NTSTATUS Call::Return(NTSTATUS status) {
    Flush(Hex32(static_cast<uint32_t>(status)));
    return status;
}

void Call::ReturnText(std::string_view result) { Flush(std::string(result)); }

void Call::ReturnVoid() { Flush("void"); }

void Call::Flush(const std::string &result) {
    if (done_) return;
    done_ = true;
    std::string line = name_;
    line += "#" + std::to_string(ordinal_) + "(" + args_ + ") = " + result;
    if (fault_) line += " [injected]";
    if (pended_) line += " [pending]";
    if (!notes_.empty()) line += " {" + notes_ + "}";
    Machine::Get().Trace(line);
}

std::string HandleText(HANDLE handle) {
    char text[32];
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

std::string QuoteUtf8(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string QuoteUtf16(std::u16string_view text) { return QuoteUtf8(Utf16ToUtf8(text)); }

std::string Hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;  // a lone surrogate
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        uint32_t c;
        size_t extra;
        if (b < 0x80) {
            c = b;
            extra = 0;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            extra = 2;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            extra = 3;
        } else {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        bool ok = true;
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        if (!ok) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

}  // namespace ntsim

extern "C" TEB *NTAPI NtCurrentTeb(void) { return static_cast<TEB *>(ntsim::Machine::Get().Teb()); }
