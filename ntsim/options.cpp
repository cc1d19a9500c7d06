// The loader's command line: stand-in options, then "--" and the native
// command line.
#include <cstdlib>
#include <map>
#include <sstream>

#include "ntsim/ntsim.h"

namespace ntsim {
namespace {

std::optional<uint64_t> ParseNumber(const std::string &text) {
    if (text.empty()) return std::nullopt;
    char *end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno || *end || text[0] == '-') return std::nullopt;
    return value;
}

// CALL:N=STATUS (withStatus) or CALL:N
std::optional<CallRule> ParseRule(const std::string &text, bool withStatus) {
    CallRule rule;
    size_t colon = text.rfind(':', withStatus ? text.find('=') : std::string::npos);
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    rule.call = text.substr(0, colon);
    std::string rest = text.substr(colon + 1);
    std::string ordinal = rest;
    if (withStatus) {
        size_t equals = rest.find('=');
        if (equals == std::string::npos) return std::nullopt;
        ordinal = rest.substr(0, equals);
        auto status = ParseNumber(rest.substr(equals + 1));
        if (!status || *status > 0xFFFFFFFFull) return std::nullopt;
        rule.status = static_cast<NTSTATUS>(static_cast<uint32_t>(*status));
    } else {
        rule.status = STATUS_PENDING;
    }
    auto n = ParseNumber(ordinal);
    if (!n || *n == 0) return std::nullopt;
    rule.ordinal = *n;
    return rule;
}

// X:=VALUE
std::optional<std::pair<char, std::string>> ParseDriveValue(const std::string &text) {
    if (text.size() < 4 || text[1] != ':' || text[2] != '=') return std::nullopt;
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (letter < 'A' || letter > 'Z') return std::nullopt;
    return std::make_pair(letter, text.substr(3));
}

}  // namespace

std::string UsageText() {
    return "usage: pelmar [stand-in options] -- [program name and arguments]\n"
           "Runs Pelmar as a native process on ntsim, the host's stand-in for the native system.\n"
           "Without \"--\", everything is the program's command line.\n"
           "\n"
           "  --root DIR              the machine's disks: drive X: is the folder DIR/x\n"
           "                          (default: the current folder as C:)\n"
           "  --trace FILE            one line per platform call\n"
           "  --fail CALL:N=STATUS    the Nth call of CALL returns STATUS (repeatable)\n"
           "  --pend CALL:N           the Nth call of CALL returns STATUS_PENDING and completes later\n"
           "  --time-scale F          waits sleep F times the requested time (0: not at all)\n"
           "  --debug-log FILE        where debugger output goes (default: standard error)\n"
           "  --debug-flags N         DebugFlags of the process parameters\n"
           "  --driver-version V      the driver model's answer to the version query\n"
           "  --no-driver             no driver at \\Device\\TrueCrypt\n"
           "  --export X:=FILE        after the process, write the decrypted volume on X: to FILE\n"
           "  --secret-scan           after the process, search the memory it got for the run's\n"
           "                          password and keys as the driver saw them\n"
           "  --sector-size X:=N      bytes per sector of drive X: (default 512)\n"
           "  --disk X:=FILE          attach a raw disk image as the volume X:\n"
           "  --no-extended-dasd X:   the file system of drive X: refuses extended volume access\n"
           "                          (repeatable)\n"
           "  --sysinfo-zero-count C  successful queries of system information class C report\n"
           "                          a count of 0 (repeatable)\n"
           "  --time-stamp-faults     the time-stamp counter read raises an exception in the process\n"
           "  --hardware-random MODE  the processor's random source: host (as the host has it),\n"
           "                          none, rdrand (no RDSEED), fail (offered, never delivers)\n"
           "  --cpu-features LIST     hide from CPUID and XGETBV, comma-separated: no-sse2, no-avx,\n"
           "                          no-avx2, no-sha, no-osxsave, no-ymm-state (the system does\n"
           "                          not save the AVX registers) (repeatable)\n"
           "  --image-path PATH       ImagePathName of the process parameters\n"
           "  --env NAME=VALUE        an environment string (repeatable; replaces the default set)\n"
           "  --no-environment        no environment block\n"
           "  --no-process-parameters the process environment block carries no parameters\n"
           "  --help                  this text\n";
}

std::optional<std::string> ParseOptions(const std::vector<std::string> &args, Options &options) {
    size_t separator = args.size();
    for (size_t i = 0; i < args.size(); ++i)
        if (args[i] == "--") {
            separator = i;
            break;
        }
    auto joinCommandLine = [&](size_t from) {
        std::string line;
        for (size_t i = from; i < args.size(); ++i) {
            if (i > from) line += ' ';
            line += args[i];
        }
        options.commandLine = Utf8ToUtf16(line);
    };
    if (separator == args.size()) {
        if (args.size() == 1 && args[0] == "--help") return std::string("help");
        joinCommandLine(0);
        return std::nullopt;
    }
    bool environmentGiven = false;
    for (size_t i = 0; i < separator; ++i) {
        const std::string &option = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= separator) return std::nullopt;
            return args[++i];
        };
        auto bad = [&](const std::string &why) { return std::optional<std::string>(option + ": " + why); };
        if (option == "--help") return std::string("help");
        if (option == "--no-driver") {
            options.noDriver = true;
        } else if (option == "--secret-scan") {
            options.secretScan = true;
        } else if (option == "--time-stamp-faults") {
            options.timeStampFaults = true;
        } else if (option == "--no-environment") {
            options.noEnvironment = true;
        } else if (option == "--no-process-parameters") {
            options.noProcessParameters = true;
        } else {
            auto v = value();
            if (!v) return bad("needs a value");
            if (option == "--root") {
                options.root = *v;
                options.rootGiven = true;
            } else if (option == "--trace") {
                options.traceFile = *v;
            } else if (option == "--debug-log") {
                options.debugLogFile = *v;
            } else if (option == "--fail" || option == "--pend") {
                auto rule = ParseRule(*v, option == "--fail");
                if (!rule) return bad(option == "--fail" ? "expected CALL:N=STATUS" : "expected CALL:N");
                (option == "--fail" ? options.faults : options.pends).push_back(*rule);
            } else if (option == "--time-scale") {
                char *end = nullptr;
                double scale = std::strtod(v->c_str(), &end);
                if (*end || scale < 0) return bad("expected a non-negative number");
                options.timeScale = scale;
            } else if (option == "--debug-flags") {
                auto n = ParseNumber(*v);
                if (!n || *n > 0xFFFFFFFFull) return bad("expected a 32-bit number");
                options.debugFlags = static_cast<uint32_t>(*n);
            } else if (option == "--driver-version") {
                auto n = ParseNumber(*v);
                if (!n || *n > 0xFFFFFFFFull) return bad("expected a 32-bit number");
                options.driverVersion = static_cast<uint32_t>(*n);
            } else if (option == "--export" || option == "--disk" || option == "--sector-size") {
                auto dv = ParseDriveValue(*v);
                if (!dv) return bad("expected X:=VALUE");
                if (option == "--export") {
                    options.exports[dv->first] = dv->second;
                } else if (option == "--disk") {
                    options.disks[dv->first] = dv->second;
                } else {
                    auto n = ParseNumber(dv->second);
                    if (!n || *n < 1 || *n > 65536) return bad("expected a sector size");
                    options.sectorSizes[dv->first] = static_cast<uint32_t>(*n);
                }
            } else if (option == "--no-extended-dasd") {
                auto dv = ParseDriveValue(*v + "=x");
                if (!dv || v->size() != 2) return bad("expected X:");
                options.noExtendedDasd.insert(dv->first);
            } else if (option == "--sysinfo-zero-count") {
                auto n = ParseNumber(*v);
                if (!n || *n > 0xFFFFFFFFull) return bad("expected a system information class");
                options.sysinfoZeroCount.push_back(static_cast<uint32_t>(*n));
            } else if (option == "--hardware-random") {
                using Mode = Options::HardwareRandom;
                const std::map<std::string, Mode> modes = {
                    {"host", Mode::Host}, {"none", Mode::None}, {"rdrand", Mode::RdrandOnly}, {"fail", Mode::Failing}};
                auto mode = modes.find(*v);
                if (mode == modes.end()) return bad("expected host, none, rdrand or fail");
                options.hardwareRandom = mode->second;
            } else if (option == "--cpu-features") {
                auto &f = options.cpuFeatures;
                const std::map<std::string, bool *> hidden = {
                    {"no-sse2", &f.sse2},         {"no-avx", &f.avx},           {"no-avx2", &f.avx2},
                    {"no-sha", &f.sha},           {"no-osxsave", &f.osxsave},   {"no-ymm-state", &f.ymmState}};
                size_t from = 0;
                for (;;) {
                    const size_t comma = v->find(',', from);
                    const auto found = hidden.find(v->substr(from, comma == std::string::npos ? comma : comma - from));
                    if (found == hidden.end())
                        return bad("expected no-sse2, no-avx, no-avx2, no-sha, no-osxsave or no-ymm-state");
                    *found->second = false;
                    if (comma == std::string::npos) break;
                    from = comma + 1;
                }
            } else if (option == "--image-path") {
                options.imagePath = Utf8ToUtf16(*v);
            } else if (option == "--env") {
                if (!environmentGiven) options.environment.clear();
                environmentGiven = true;
                options.environment.push_back(Utf8ToUtf16(*v));
            } else {
                return std::string("unknown option ") + option;
            }
        }
    }
    joinCommandLine(separator + 1);
    return std::nullopt;
}

}  // namespace ntsim
