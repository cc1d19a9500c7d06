// Fault sweep: a whole run is traced, and then every kind of platform call it
// made is failed in turn (the first few calls of each name and the last one)
// with STATUS_INTERNAL_ERROR, an unusual status that can be recognised on the
// screen. Every such run must end cleanly: the failure reported once (or not
// at all where it is silent by design), the process ending with status 0,
// no handle left open, no half-restored drive left mounted, and none of the
// run's secrets left in the memory the process got from the machine.
//
// Also here: the secret scan itself, shown to find what a native process
// leaves behind (and to stay quiet when it wipes it).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ntsim/ntsim.h"
#include "ntsim/secret_scan.h"
#include "ntsim/driver_model.h"
#include "ntsim/tcformat/tcformat.h"
#include "run/fat_image.h"
#include "run/process_runner.h"

using pelmar_test::MakeFatImage;
using pelmar_test::ProcessResult;
using pelmar_test::ReadWholeFile;
using pelmar_test::RunPelmar;
using pelmar_test::Shell;
using pelmar_test::TempFolder;

namespace fs = std::filesystem;

namespace {

// A small drive keeps the restore short: 1,024 sector writes.
constexpr size_t kVolumeBytes = 512 * 1024;
constexpr uint32_t kInjected = 0xC00000E5;  // STATUS_INTERNAL_ERROR
constexpr const char *kInjectedText = "0xc00000e5";
constexpr size_t kLeadingOrdinals = 4;
// Every position of the command line given, so that its conversions are
// swept too; the paths are not the defaults, so a conversion that fails
// (which falls back to the default path, silently) changes the run.
const std::vector<std::string> kCommandLine = {"pelmar", "ATS", "s", "1", "t", "c:\\scratch.tc", "c:\\scratch.img"};
const char kBaselineScreen[] = "\npelmar ATS s 1 t c:\\scratch.tc c:\\scratch.img \n\nRestoring file system...\n";

std::string RandomBytes(size_t count, uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string bytes(count, '\0');
    for (auto &b : bytes) b = static_cast<char>(random());
    return bytes;
}

void WriteFile(const fs::path &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

size_t CountOf(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The file system, its image and the container's old contents, made once;
// each run gets its own machine root with copies of them.
struct Material {
    TempFolder folder;
    fs::path raw = folder.path() / "fat.raw";
    std::string image;
    std::string container = RandomBytes(512 + kVolumeBytes, 11);

    Material() {
        fs::path img = folder.path() / "pelmar.img";
        MakeFatImage(folder.path(), kVolumeBytes, raw, img);
        image = ReadWholeFile(img);
    }
};

struct Outcome {
    ProcessResult result;
    bool exported = false;
    bool exportEqualsRaw = false;
};

// One run on a fresh machine root, the drive exported when it is mounted.
Outcome RunOnFreshMachine(const Material &material, const std::vector<std::string> &extra,
                          size_t imageBytes = std::string::npos) {
    TempFolder folder;
    fs::path root = folder.path() / "root";
    fs::create_directories(root / "c");
    WriteFile(root / "c" / "scratch.img", material.image.substr(0, imageBytes));
    WriteFile(root / "c" / "scratch.tc", material.container);
    fs::path exported = folder.path() / "t.raw";
    std::vector<std::string> standIn = {"--root",        root.string(), "--time-scale", "0", "--secret-scan",
                                        "--export",      "T:=" + exported.string()};
    standIn.insert(standIn.end(), extra.begin(), extra.end());
    Outcome outcome;
    outcome.result = RunPelmar(folder.path(), standIn, kCommandLine);
    outcome.exported = fs::exists(exported);
    if (outcome.exported) outcome.exportEqualsRaw = ReadWholeFile(exported) == ReadWholeFile(material.raw);
    return outcome;
}

std::string CallName(const std::string &line) {
    size_t hash = line.find('#');
    size_t paren = line.find('(');
    if (hash == std::string::npos || paren == std::string::npos || hash > paren) return {};
    return line.substr(0, hash);
}

struct Fault {
    std::string call;
    uint64_t ordinal = 0;
    std::string baselineLine;  // the call as the successful run made it
    std::string Rule() const { return call + ":" + std::to_string(ordinal) + "=" + ntsim::Hex32(kInjected); }
};

// The first few calls of every name and the last one; every call when
// PELMAR_FAULT_SWEEP_ALL is set (about a thousand more runs, nearly all of
// them sector writes of the restore).
std::vector<Fault> FaultsOf(const std::vector<std::string> &trace) {
    const bool everyCall = std::getenv("PELMAR_FAULT_SWEEP_ALL") != nullptr;
    std::map<std::string, std::vector<std::string>> byName;
    for (const auto &line : trace)
        if (std::string name = CallName(line); !name.empty()) byName[name].push_back(line);
    std::vector<Fault> faults;
    for (const auto &[name, lines] : byName) {
        std::set<uint64_t> ordinals;
        const uint64_t leading = everyCall ? lines.size() : std::min<uint64_t>(lines.size(), kLeadingOrdinals);
        for (uint64_t n = 1; n <= leading; ++n) ordinals.insert(n);
        ordinals.insert(lines.size());
        for (uint64_t n : ordinals) faults.push_back({name, n, lines[n - 1]});
    }
    return faults;
}

// Runs the jobs on a few threads; each run is its own process in its own
// folder, so they do not meet.
std::vector<Outcome> RunAll(const Material &material, const std::vector<std::vector<std::string>> &jobs) {
    std::vector<Outcome> outcomes(jobs.size());
    std::atomic<size_t> next{0};
    unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 3u);
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (size_t i; (i = next++) < jobs.size();) outcomes[i] = RunOnFreshMachine(material, jobs[i]);
        });
    for (auto &worker : workers) worker.join();
    return outcomes;
}

// The native exit status a failure of the call leads to. Start-up ends the
// process with the status of a failed conversion or of a failed allocation
// of its two argument blocks (the thread's last status, which the failed
// allocation set to the injected one) before main runs; a heap that cannot
// be created, or NaInit's block that cannot be allocated, is main's "no
// memory". Every other failure happens inside a run that got its context,
// which ends with 0.
uint32_t ExpectedExitStatus(const Fault &fault) {
    if (fault.call == "RtlUnicodeStringToAnsiString" && fault.ordinal <= 2) return kInjected;
    if (fault.call == "RtlAllocateHeap" && fault.ordinal <= 2) return kInjected;
    if (fault.call == "RtlAllocateHeap" && fault.ordinal == 3) return STATUS_NO_MEMORY;
    if (fault.call == "RtlCreateHeap") return STATUS_NO_MEMORY;
    return 0;
}

// Calls whose failure shows no status on the screen, by design:
// - output itself never fails visibly (DbgPrint, NtDisplayString, and the
//   formatter, whose failure drops the text);
// - the counted-string makers and the release of a converted string return
//   nothing, and the stand-in has no status to hand back from parameter
//   normalisation (it returns the parameters);
// - a path argument that cannot be converted leaves the default path, and
//   the command line reports nothing of its own (what fails later on the
//   default path is reported with that failure's status);
// - NtClose results are never used;
// - a refused first NtTerminateProcess is asked again;
// - start-up ends silently with a failed conversion's or allocation's status,
//   and NaInit's no-memory text carries no status;
// - FSCTL_ALLOW_EXTENDED_DASD_IO refused at once is silent;
// - the time-stamp read goes on without its handler, and a failed draw of
//   the hardware random source only costs its bytes;
// - a failed XGETBV reads as no register state saved (the derivations keep
//   to SSE2), and the note of the paths chosen has no result.
bool FailureIsSilent(const Fault &fault) {
    static const std::set<std::string> silent = {
        "DbgPrint",       "NtDisplayString",  "_vsnwprintf",        "RtlInitUnicodeString", "RtlInitAnsiString",
        "RtlFreeAnsiString", "RtlNormalizeProcessParams", "NtClose", "NtTerminateProcess",
        "RtlUnicodeStringToAnsiString", "RtlAnsiStringToUnicodeString", "RtlAllocateHeap",  "RtlCreateHeap",
        "RtlAddVectoredExceptionHandler", "RtlRemoveVectoredExceptionHandler", "ProcessorRandom64",
        "ProcessorReadExtendedControl", "ProcessorNoteDerivationPaths"};
    if (silent.count(fault.call)) return true;
    return fault.call == "NtFsControlFile" && fault.baselineLine.find("code=0x00090083") != std::string::npos;
}

bool MountRequestReachedDriver(const ProcessResult &r) {
    for (const auto &line : r.Calls("NtDeviceIoControlFile"))
        if (line.find("code=0x00072000") != std::string::npos && line.find("[injected]") == std::string::npos)
            return true;
    return false;
}

// The invariants every faulted run must keep.
void CheckCleanEnd(const Fault &fault, const Outcome &outcome) {
    const ProcessResult &r = outcome.result;
    SCOPED_TRACE("--fail " + fault.Rule() + " (" + fault.baselineLine.substr(0, 160) + ")\nscreen:\n" + r.screen +
                 "\nstderr:\n" + r.errors);
    ASSERT_FALSE(r.trace.empty());
    // The rule hit the call it was meant for.
    auto calls = r.Calls(fault.call);
    ASSERT_GE(calls.size(), fault.ordinal);
    EXPECT_NE(calls[fault.ordinal - 1].find("[injected]"), std::string::npos) << calls[fault.ordinal - 1];

    // A clean end with the status the design gives.
    const uint32_t status = ExpectedExitStatus(fault);
    const std::string &last = r.trace.back();
    EXPECT_EQ(last.rfind("process ended: status " + ntsim::Hex32(status), 0), 0u) << last;
    EXPECT_EQ(r.exitCode, status == 0 ? 0 : 1);

    // One report of the failure, none where it is silent.
    const size_t shown = CountOf(r.screen, kInjectedText);
    if (FailureIsSilent(fault)) {
        EXPECT_EQ(shown, 0u);
    } else {
        EXPECT_EQ(shown, 1u);
        // A reported failure ends the run with the 5-second pause.
        EXPECT_EQ(r.CountCalls("NtWaitForSingleObject"), 1u);
    }

    // No handle left open, unless closing one is what failed.
    if (fault.call != "NtClose") {
        EXPECT_NE(last.find(", 0 handles open"), std::string::npos) << last;
    }

    // Either the drive holds the whole file system, or it is not mounted.
    if (outcome.exported) {
        EXPECT_TRUE(outcome.exportEqualsRaw) << "a half-restored drive was left mounted";
    } else {
        EXPECT_NE(r.errors.find("no volume is mounted on T:"), std::string::npos) << r.errors;
    }

    // No secret of the run left behind.
    std::vector<std::string> scan;
    for (const auto &line : r.trace)
        if (line.rfind("secret scan: ", 0) == 0) scan.push_back(line);
    std::string report;
    for (const auto &line : scan) report += line + "\n";
    ASSERT_EQ(scan.size(), 1u) << report;
    // Where no mount request reached the driver, the machine knows no secret
    // to look for: the password and keys never left the process.
    const char *expected = MountRequestReachedDriver(r) ? "secret scan: no secret left in process memory"
                                                        : "secret scan: no mount request reached the driver";
    EXPECT_EQ(scan[0].rfind(expected, 0), 0u) << report;
}

class FaultSweep : public ::testing::Test {
protected:
    static void SetUpTestSuite() { material_ = new Material; }
    static void TearDownTestSuite() {
        delete material_;
        material_ = nullptr;
    }
    static Material *material_;
};
Material *FaultSweep::material_ = nullptr;

TEST_F(FaultSweep, EveryCallFailedInTurnEndsCleanly) {
    const auto started = std::chrono::steady_clock::now();
    Outcome baseline = RunOnFreshMachine(*material_, {});
    const ProcessResult &b = baseline.result;
    ASSERT_EQ(b.exitCode, 0) << b.errors << b.screen;
    ASSERT_EQ(b.screen, kBaselineScreen);
    ASSERT_TRUE(baseline.exported && baseline.exportEqualsRaw);
    ASSERT_NE(b.trace.back().find(", 0 handles open"), std::string::npos);
    // The secret scan had all three secrets to look for, and found none.
    ASSERT_TRUE(MountRequestReachedDriver(b));
    EXPECT_EQ(std::count_if(b.trace.begin(), b.trace.end(),
                            [](const std::string &l) {
                                return l.rfind("secret scan: no secret left in process memory", 0) == 0;
                            }),
              1);

    std::vector<Fault> faults = FaultsOf(b.trace);
    // Every stage of the run is covered: start-up, output, entropy, the
    // header, the driver and the restore.
    std::set<std::string> names;
    for (const auto &f : faults) names.insert(f.call);
    for (const char *expected : {"RtlUnicodeStringToAnsiString", "RtlAllocateHeap", "RtlCreateHeap", "NtDisplayString",
                                 "NtQuerySystemInformation", "NtCreateFile", "NtReadFile", "NtWriteFile",
                                 "NtDeviceIoControlFile", "NtFsControlFile", "NtSetInformationFile", "NtClose",
                                 "RtlInitAnsiString", "RtlAnsiStringToUnicodeString"})
        EXPECT_TRUE(names.count(expected)) << expected;

    std::vector<std::vector<std::string>> jobs;
    for (const auto &f : faults) jobs.push_back({"--fail", f.Rule()});
    std::vector<Outcome> outcomes = RunAll(*material_, jobs);
    for (size_t i = 0; i < faults.size(); ++i) CheckCleanEnd(faults[i], outcomes[i]);

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("fault sweep: %zu faulted runs in %.1f s\n", faults.size(), seconds);
}

// The final pause only happens after a reported failure, so its calls are
// swept on a run with one: the image's time-stamp query fails (reported,
// the run goes on and restores the drive). Failing the pause's event, its
// wait or the event's close must change nothing visible: the pause is
// skipped or cut short, silently.
TEST_F(FaultSweep, FailuresOfTheFinalPauseAreSilent) {
    const std::vector<std::string> first = {"--fail", "NtQueryInformationFile:1=" + ntsim::Hex32(kInjected)};
    Outcome base = RunOnFreshMachine(*material_, first);
    ASSERT_EQ(CountOf(base.result.screen, kInjectedText), 1u) << base.result.screen;
    ASSERT_EQ(base.result.CountCalls("NtCreateEvent"), 1u);
    ASSERT_EQ(base.result.CountCalls("NtWaitForSingleObject"), 1u);
    const std::string eventClose = std::to_string(base.result.CountCalls("NtClose"));

    std::vector<std::vector<std::string>> jobs;
    for (const std::string &rule :
         std::vector<std::string>{"NtCreateEvent:1", "NtWaitForSingleObject:1", "NtClose:" + eventClose}) {
        std::vector<std::string> job = first;
        job.insert(job.end(), {"--fail", rule + "=" + ntsim::Hex32(kInjected)});
        jobs.push_back(job);
    }
    std::vector<Outcome> outcomes = RunAll(*material_, jobs);
    for (size_t i = 0; i < jobs.size(); ++i) {
        const ProcessResult &r = outcomes[i].result;
        SCOPED_TRACE(jobs[i][3]);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.screen, base.result.screen);  // the one earlier report, nothing more
        EXPECT_TRUE(outcomes[i].exported && outcomes[i].exportEqualsRaw);
        const std::string &last = r.trace.back();
        EXPECT_EQ(last.rfind("process ended: status 0x00000000", 0), 0u) << last;
        // The event stays open only when its close is what failed.
        EXPECT_NE(last.find(i == 2 ? ", 1 handles open" : ", 0 handles open"), std::string::npos) << last;
        EXPECT_EQ(r.CountCalls("NtWaitForSingleObject"), i == 0 ? 0u : 1u);
    }
}

// An image cut short, inside each kind of sector the restore reads: the
// short read is silent in the I/O layer, so the restore's own report must
// say why the boot ends without a drive, and the run must end as after any
// reported failure (the pause, the dismount, no handle left open). The
// image holds its header, one entry sector, a data sector for an entry at
// an offset (at 1,024) and one for a run (at 1,536).
TEST_F(FaultSweep, ATruncatedImageIsReportedAndTheDriveDismounted) {
    ASSERT_EQ(material_->image.substr(512, 2), std::string("\x00\x01", 2));  // data at offset 0
    ASSERT_EQ(material_->image.substr(528, 2), std::string("\x00\x02", 2));  // then a run of one
    const std::vector<std::pair<size_t, std::string>> cuts = {{300, "Cannot read image file header!"},
                                                              {612, "Cannot read first entry sector!"},
                                                              {1124, "Cannot read image data sector!"},
                                                              {1636, "Cannot read image data sector!"}};
    for (const auto &[bytes, report] : cuts) {
        Outcome outcome = RunOnFreshMachine(*material_, {}, bytes);
        const ProcessResult &r = outcome.result;
        SCOPED_TRACE(std::to_string(bytes) + " bytes of image");
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.screen, std::string(kBaselineScreen) + report + "\n");
        EXPECT_EQ(r.CountCalls("NtWaitForSingleObject"), 1u);
        EXPECT_FALSE(outcome.exported) << "a half-restored drive was left mounted";
        EXPECT_NE(r.trace.back().find(", 0 handles open"), std::string::npos) << r.trace.back();
    }
}

// --- The secret scan over an in-process machine -------------------------

// A container whose header opens under the password with RIPEMD-160 and
// AES, sealed here with the model's own primitives.
struct SealedContainer {
    std::vector<uint8_t> password;
    std::vector<uint8_t> headerKey;
    std::vector<uint8_t> masterKey;
    std::string bytes;
};

SealedContainer SealContainer() {
    SealedContainer c;
    std::string random = RandomBytes(64 + 128 + 512 + 4096, 23);
    c.password.assign(random.begin(), random.begin() + 64);
    c.masterKey.assign(random.begin() + 64, random.begin() + 192);
    std::vector<uint8_t> header(random.begin() + 192, random.begin() + 704);
    std::memcpy(header.data() + 64, "TRUE\x00\x02\x04\x10", 8);  // magic, versions 2 and 0x0410
    std::copy(c.masterKey.begin(), c.masterKey.end(), header.begin() + 256);
    const uint32_t crc = ntsim::tc::Crc32(std::span<const uint8_t>(header).subspan(256, 256));
    for (int i = 0; i < 4; ++i) header[72 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    auto key = ntsim::tc::Pbkdf2(ntsim::tc::kPrfRipemd160, c.password, std::span<const uint8_t>(header).first(64),
                                 2000, 128);
    EXPECT_TRUE(key.has_value());
    c.headerKey = *key;
    auto cipher = ntsim::tc::EaCipher::Create(1, std::span<const uint8_t, 128>(c.headerKey.data(), 128));
    EXPECT_TRUE(cipher.has_value());
    cipher->LrwEncrypt(1, std::span<uint8_t>(header).subspan(64));
    c.bytes.assign(header.begin(), header.end());
    c.bytes += random.substr(704);
    return c;
}

// What the native test process leaves in the heap block that carried its
// mount request, and in a second block.
struct Leftovers {
    bool wipeRequest = false;
    std::vector<uint8_t> second;
};
const SealedContainer *gContainer = nullptr;
Leftovers gLeftovers;

void MountingProcess(PPEB peb) {
    auto *request = static_cast<uint8_t *>(RtlAllocateHeap(peb->ProcessHeap, HEAP_ZERO_MEMORY, 1024));
    auto *second = static_cast<uint8_t *>(RtlAllocateHeap(peb->ProcessHeap, HEAP_ZERO_MEMORY, 512));
    const char16_t path[] = u"C:\\vol.tc";
    std::memcpy(request + 4, path, sizeof path);
    const uint32_t length = 64, drive = 19;
    std::memcpy(request + 524, &length, 4);
    std::memcpy(request + 528, gContainer->password.data(), 64);
    std::memcpy(request + 600, &drive, 4);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, TC_DEVICE_NAME);
    OBJECT_ATTRIBUTES attributes = {sizeof(OBJECT_ATTRIBUTES), nullptr, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
    HANDLE device = nullptr;
    IO_STATUS_BLOCK io{};
    NtCreateFile(&device, GENERIC_ALL | SYNCHRONIZE, &attributes, &io, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0);
    NtDeviceIoControlFile(device, nullptr, nullptr, nullptr, &io, TC_IOCTL_MOUNT, request, 716, request, 716);
    NtClose(device);

    if (gLeftovers.wipeRequest) std::memset(request, 0, 1024);
    if (!gLeftovers.second.empty()) std::memcpy(second + 100, gLeftovers.second.data(), gLeftovers.second.size());
    NtTerminateProcess(NtCurrentProcess(), 0);
}

class SecretScan : public ::testing::Test {
protected:
    void SetUp() override {
        container_ = SealContainer();
        gContainer = &container_;
        fs::create_directories(folder_.path() / "c");
        WriteFile(folder_.path() / "c" / "vol.tc", container_.bytes);
    }

    // Runs the process and returns the scan's trace lines.
    std::vector<std::string> Run(const Leftovers &leftovers, bool scan = true) {
        gLeftovers = leftovers;
        ntsim::Options options;
        options.root = folder_.path();
        options.rootGiven = true;
        options.echoOutputs = false;
        options.secretScan = scan;
        ntsim::Machine &machine = ntsim::Machine::Get();
        machine.Reset(options);
        EXPECT_EQ(ntsim::RunNativeProcess(MountingProcess), 0);
        EXPECT_EQ(ntsim::MountedTrueCryptVolumes().size(), 1u);  // the header opened
        machine.RunProcessEndHooks();
        std::vector<std::string> lines;
        for (const auto &line : machine.traceLines())
            if (line.rfind("secret scan: ", 0) == 0) lines.push_back(line);
        return lines;
    }

    static std::vector<uint8_t> Slice(const std::vector<uint8_t> &bytes, size_t from, size_t count) {
        return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + count);
    }

    TempFolder folder_;
    SealedContainer container_;
};

TEST_F(SecretScan, FindsThePasswordAndPiecesOfTheKeys) {
    Leftovers leftovers;  // the request block keeps the password
    leftovers.second = Slice(container_.headerKey, 30, 20);
    auto master = Slice(container_.masterKey, 100, 16);
    leftovers.second.insert(leftovers.second.end(), 8, 0);
    leftovers.second.insert(leftovers.second.end(), master.begin(), master.end());
    auto lines = Run(leftovers);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[0].find("64 bytes of the password of mount request 1 (bytes 0..63)"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("at offset 528"), std::string::npos) << lines[0];
    // The request block as it was at the mount: length, password, drive.
    EXPECT_NE(lines[1].find("at mount request 1 (bytes 524..596) (bytes 0..72) left"), std::string::npos) << lines[1];
    lines.erase(lines.begin() + 1);
    EXPECT_NE(lines[1].find("20 bytes of the header key of mount request 1 (bytes 30..49)"), std::string::npos)
        << lines[1];
    EXPECT_NE(lines[1].find("at offset 100"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("16 bytes of the master key material of mount request 1 (bytes 100..115)"),
              std::string::npos)
        << lines[2];
    EXPECT_NE(lines[2].find("at offset 128"), std::string::npos) << lines[2];
    EXPECT_EQ(lines[3].rfind("secret scan: 4 copies of secrets left in process memory", 0), 0u) << lines[3];
}

TEST_F(SecretScan, PiecesShorterThanTheWindowAndWipedMemoryAreClean) {
    Leftovers leftovers;
    leftovers.wipeRequest = true;
    leftovers.second = Slice(container_.masterKey, 0, 15);
    auto header = Slice(container_.headerKey, 64, 15);
    leftovers.second.insert(leftovers.second.end(), header.begin(), header.end());
    auto lines = Run(leftovers);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("secret scan: no secret left in process memory (", 0), 0u) << lines[0];
}

TEST_F(SecretScan, RunsOnlyWhenAsked) {
    EXPECT_TRUE(Run(Leftovers{}, false).empty());
}

TEST(SecretSearch, OverlappingWindowsAreOneFindingAndSeparateCopiesTwo) {
    std::vector<uint8_t> secret(40);
    for (size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<uint8_t>(i * 7 + 3);
    std::vector<uint8_t> memory(200, 0);
    std::copy(secret.begin() + 5, secret.begin() + 30, memory.begin() + 10);   // 25 bytes
    std::copy(secret.begin(), secret.begin() + 16, memory.begin() + 100);      // exactly one window
    std::vector<uint8_t> flat(32, 0xAA);                                        // a secret of one byte value
    std::copy(flat.begin(), flat.end(), memory.begin() + 150);
    auto findings = ntsim::FindSecrets({{"m", memory.data(), memory.size()}},
                                       {{"s", secret}, {"flat", flat}});
    ASSERT_EQ(findings.size(), 2u);
    EXPECT_EQ(findings[0].secretOffset, 5u);
    EXPECT_EQ(findings[0].regionOffset, 10u);
    EXPECT_EQ(findings[0].length, 25u);
    EXPECT_EQ(findings[1].secretOffset, 0u);
    EXPECT_EQ(findings[1].regionOffset, 100u);
    EXPECT_EQ(findings[1].length, 16u);
}

}  // namespace
