// In-process tests of product code over the stand-in: every test starts on
// a fresh machine with the library uninitialised.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib-na/na.h"
#include "ntsim/ntsim.h"

namespace pelmar_test {

// Starts the machine afresh with the given options (outputs are recorded,
// not echoed) and forgets the library's process-wide state.
inline void FreshMachine(ntsim::Options options = {}) {
    options.echoOutputs = false;
    if (options.timeScale == 1.0) options.timeScale = 0;
    ntsim::Machine::Get().Reset(options);
    NaGlobals = NA_GLOBALS{};
}

inline ntsim::Machine &M() { return ntsim::Machine::Get(); }

// Trace lines of one call name, e.g. "NtCreateFile".
inline std::vector<std::string> TraceOf(const std::string &call) {
    std::vector<std::string> out;
    for (const auto &line : M().traceLines())
        if (line.rfind(call + "#", 0) == 0) out.push_back(line);
    return out;
}

inline size_t CountInTrace(const std::string &call) { return TraceOf(call).size(); }

// A fixture whose tests run with the library initialised (no context).
class NativeTest : public ::testing::Test {
protected:
    void SetUp() override {
        FreshMachine(options());
        ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
    }
    virtual ntsim::Options options() { return {}; }
    const std::string &Screen() { return M().bootScreen(); }
    const std::string &Debugger() { return M().debugOutput(); }
    bool ErrorReported() { return NaGlobals.ProcessInfo && NaGlobals.ProcessInfo->ErrorReported; }
};

}  // namespace pelmar_test
