// ntsim: the host's stand-in for the native system library and the kernel.
//
// This header is the machine's own interface, for the Linux loader and the
// tests: how the machine is configured, how a native process is run on it,
// and what it recorded (trace, boot screen, debugger output). The native
// functions themselves are declared in nt/nt.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "nt/nt.h"

namespace ntsim {

// --fail CALL:N=STATUS, --pend CALL:N
struct CallRule {
    std::string call;
    uint64_t ordinal = 0;  // 1-based: the Nth call of that name
    NTSTATUS status = 0;
};

struct Options {
    std::filesystem::path root;   // drive X: is root/x; empty: the current folder is C:
    bool rootGiven = false;
    std::string traceFile;        // empty: no trace file (the trace is still kept in memory)
    std::string debugLogFile;     // empty: debugger output goes to standard error
    bool echoOutputs = true;      // boot screen to stdout, debugger output to the debug log
    double timeScale = 1.0;       // waits sleep timeScale times what was asked
    uint32_t debugFlags = 0;      // DebugFlags of the process parameters
    std::vector<CallRule> faults;
    std::vector<CallRule> pends;
    std::optional<uint32_t> driverVersion;
    bool noDriver = false;
    std::map<char, std::string> exports;            // --export X:=FILE
    bool secretScan = false;                        // --secret-scan (ntsim/secret_scan.h)
    std::map<char, uint32_t> sectorSizes;           // --sector-size X:=N
    std::map<char, std::filesystem::path> disks;    // --disk X:=FILE
    std::set<char> noExtendedDasd;                  // --no-extended-dasd X:
    // System-information classes whose successful replies report a byte
    // count of 0 although the buffer was filled (as some native systems do
    // for the interrupt information).
    std::vector<uint32_t> sysinfoZeroCount;
    // The processor: --time-stamp-faults makes the time-stamp instructions
    // raise an exception in the native process (ntsim/exceptions.cpp);
    // --hardware-random MODE, --cpu-features LIST (ntsim/processor.cpp).
    bool timeStampFaults = false;
    enum class HardwareRandom { Host, None, RdrandOnly, Failing } hardwareRandom = HardwareRandom::Host;
    // --cpu-features: what the processor (CPUID) and the system (XCR0 as
    // XGETBV reads it) report, as the host has them less what is hidden.
    struct CpuFeatures {
        bool sse2 = true, avx = true, avx2 = true, sha = true, osxsave = true, ymmState = true;
    } cpuFeatures;
    // Process parameters
    bool noProcessParameters = false;
    std::optional<std::u16string> commandLine;      // as the process receives it
    std::u16string imagePath = u"\\SystemRoot\\System32\\pelmar.exe";
    bool noEnvironment = false;
    std::vector<std::u16string> environment = {u"Path=C:\\Windows\\System32", u"SystemRoot=C:\\Windows"};
};

// Parses the loader's command line: stand-in options, then "--" and the
// native command line. Returns an error text on bad input.
std::optional<std::string> ParseOptions(const std::vector<std::string> &args, Options &options);
std::string UsageText();

// Base of every kernel object a handle can refer to.
class Object {
public:
    virtual ~Object() = default;
    virtual const char *TypeName() const = 0;
    // Waits for the object; timeout in 100-ns units (negative: relative),
    // none: forever. Returns the native wait status.
    virtual NTSTATUS Wait(const std::optional<int64_t> &timeout);
    // Called when the last handle to the object is closed.
    virtual void OnLastHandleClosed() {}
};

class Machine {
public:
    static Machine &Get();

    // Throws the machine's whole state away and starts afresh.
    void Reset(const Options &options);
    const Options &options() const { return options_; }
    Options &mutableOptions() { return options_; }

    // Call accounting: numbers a call of the given name (1-based) and finds
    // the rules that apply to it.
    uint64_t CountCall(std::string_view name);
    std::optional<NTSTATUS> FaultFor(std::string_view name, uint64_t ordinal) const;
    bool PendFor(std::string_view name, uint64_t ordinal) const;
    uint64_t CallCount(std::string_view name) const;

    void Trace(const std::string &line);
    const std::vector<std::string> &traceLines() const { return trace_; }

    void BootScreen(std::string_view utf8);
    void DebugOutput(std::string_view utf8);
    const std::string &bootScreen() const { return bootScreen_; }
    const std::string &debugOutput() const { return debugOutput_; }

    // Handles.
    HANDLE Insert(std::shared_ptr<Object> object);
    std::shared_ptr<Object> Lookup(HANDLE handle) const;
    template <class T>
    std::shared_ptr<T> LookupAs(HANDLE handle) const {
        return std::dynamic_pointer_cast<T>(Lookup(handle));
    }
    NTSTATUS CloseHandle(HANDLE handle);
    size_t OpenHandleCount() const { return handles_.size(); }
    std::vector<std::string> OpenHandleDescriptions() const;
    // Counts the handles still open to one object (for sharing and locks).
    size_t HandleCountOf(const Object *object) const;

    // Thread environment block and its last-status value.
    void *Teb() { return teb_.data(); }
    NTSTATUS &LastStatus();

    // Default process heap (set up by RunNativeProcess).
    HANDLE processHeap() const { return processHeap_; }

    // Runs work of the machine's own (the driver model's cryptography) on a
    // stack of the machine's, not on the native process's stack.
    void OffNativeStack(const std::function<void()> &work);

    // Sleeps for a wait of the given length, scaled by --time-scale.
    void SleepFor(int64_t hundredNanoseconds) const;

    // End of the native process.
    [[noreturn]] void Terminate(NTSTATUS status);
    std::optional<NTSTATUS> exitStatus() const { return exitStatus_; }

    // Work to do when the native process has ended (export, reports).
    void AtProcessEnd(std::function<void()> hook) { endHooks_.push_back(std::move(hook)); }
    void RunProcessEndHooks();

    // Host folder of a drive letter, if that drive is mapped.
    std::optional<std::filesystem::path> DriveFolder(char letter) const;

    // State that other parts of the stand-in keep on the machine (files,
    // devices, the driver model), found by name and reset with it.
    template <class T>
    T &Extension(const std::string &key) {
        auto &slot = extensions_[key];
        if (!slot) slot = std::make_shared<Holder<T>>();
        return static_cast<Holder<T> *>(slot.get())->value;
    }

private:
    struct HolderBase {
        virtual ~HolderBase() = default;
    };
    template <class T>
    struct Holder : HolderBase {
        T value{};
    };

    Machine() = default;
    Options options_;
    std::map<std::string, uint64_t, std::less<>> callCounts_;
    std::vector<std::string> trace_;
    FILE *traceFile_ = nullptr;
    FILE *debugLog_ = nullptr;
    std::string bootScreen_;
    std::string debugOutput_;
    std::map<uintptr_t, std::shared_ptr<Object>> handles_;
    uintptr_t nextHandle_ = 0x40;
    std::vector<uint8_t> teb_;
    HANDLE processHeap_ = nullptr;
    std::optional<NTSTATUS> exitStatus_;
    std::vector<std::function<void()>> endHooks_;
    std::map<std::string, std::shared_ptr<HolderBase>> extensions_;
    void *terminateJump_ = nullptr;
    friend NTSTATUS RunNativeProcess(void (*entry)(PPEB));
};

// Builds the process environment block and the process parameters from the
// machine's options, runs the native entry point, and returns the native
// exit status once the process has ended through NtTerminateProcess.
NTSTATUS RunNativeProcess(void (*entry)(PPEB));

// The processor of the native thread (ntsim/exceptions.cpp): makes the
// time-stamp instructions fault when --time-stamp-faults asks, and ends that.
// PrepareTimeStampFaults reads the executable's list of them once; it says
// why the option cannot be honoured, nothing when it can.
std::optional<std::string> PrepareTimeStampFaults();
void StartNativeThreadProcessor();
void EndNativeThreadProcessor();

// Offset of the last-status value in the thread environment block, as on
// 64-bit Windows.
constexpr size_t kTebLastStatusOffset = 0x1250;

// Text helpers shared by the stand-in.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
std::string Hex32(uint32_t value);  // "0x%08x"

}  // namespace ntsim
