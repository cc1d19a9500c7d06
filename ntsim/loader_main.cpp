// The Linux loader: reads the stand-in options, runs Pelmar's native entry
// point on the machine, lets the machine report and export what it holds,
// and exits with 0 exactly when the native exit status is 0.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ntsim/ntsim.h"

extern "C" void NTAPI NaProcessStartup(PPEB peb);

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    ntsim::Options options;
    if (auto error = ntsim::ParseOptions(args, options)) {
        if (*error == "help") {
            fputs(ntsim::UsageText().c_str(), stdout);
            return 0;
        }
        fprintf(stderr, "pelmar: %s\n%s", error->c_str(), ntsim::UsageText().c_str());
        return 2;
    }
    // The host's lazy binding saves every vector register on the calling
    // thread's stack at a library function's first call, which would copy
    // what the native process had in them (password bytes on their way into
    // a request) into the native stack the secret scan searches. Windows
    // binds imports at load; so does the machine, for a scan.
    if (options.secretScan && !std::getenv("LD_BIND_NOW")) {
        setenv("LD_BIND_NOW", "1", 1);
        execv("/proc/self/exe", argv);
        perror("pelmar: cannot restart with load-time binding");
    }
    // Refused before anything runs, as a wrong option is.
    if (options.timeStampFaults) {
        if (auto error = ntsim::PrepareTimeStampFaults()) {
            fprintf(stderr, "pelmar: --time-stamp-faults cannot be honoured: %s\n", error->c_str());
            return 2;
        }
    }
    ntsim::Machine &machine = ntsim::Machine::Get();
    machine.Reset(options);
    NTSTATUS status = ntsim::RunNativeProcess(NaProcessStartup);
    machine.RunProcessEndHooks();
    std::string summary = "process ended: status " + ntsim::Hex32(static_cast<uint32_t>(status)) + ", " +
                          std::to_string(machine.OpenHandleCount()) + " handles open";
    for (const auto &open : machine.OpenHandleDescriptions()) summary += "; " + open;
    machine.Trace(summary);
    if (status != 0) fprintf(stderr, "ntsim: native exit status %s\n", ntsim::Hex32(static_cast<uint32_t>(status)).c_str());
    fflush(nullptr);
    return status == 0 ? 0 : 1;
}
