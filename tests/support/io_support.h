// Tests of the I/O layer over the stand-in: a temporary machine root with
// drive C: as a folder, helpers for host files, fault rules added while a
// test runs, and the expected text of reports.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ntsim/ntsim.h"
#include "support/native_test.h"

namespace pelmar_test {

namespace fs = std::filesystem;

struct TempRoot {
    TempRoot() {
        char pattern[] = "/tmp/pelmar-io-XXXXXX";
        dir = mkdtemp(pattern);
        fs::create_directories(dir / "c");
    }
    ~TempRoot() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    fs::path dir;
};

inline void WriteHostFile(const fs::path &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string ReadHostFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// What the boot screen (and the debugger) show after the given reports,
// the first output of the process beginning on a fresh line.
inline std::string Reports(std::initializer_list<std::string> messages) {
    std::string out = "\n";
    for (const auto &m : messages) out += m + "\n";
    return out;
}

inline std::string Hex(uint32_t value) { return ntsim::Hex32(value); }

inline void Fail(const std::string &call, uint64_t n, NTSTATUS status) {
    M().mutableOptions().faults.push_back({call, n, status});
}
inline void Pend(const std::string &call, uint64_t n) { M().mutableOptions().pends.push_back({call, n, STATUS_PENDING}); }

inline bool TraceHas(const std::string &call, const std::string &text) {
    for (const auto &line : TraceOf(call))
        if (line.find(text) != std::string::npos) return true;
    return false;
}

class IoTest : public NativeTest {
protected:
    ntsim::Options options() override {
        ntsim::Options o;
        o.root = root_.dir;
        o.rootGiven = true;
        Configure(o);
        return o;
    }
    virtual void Configure(ntsim::Options &) {}
    fs::path Host(const std::string &relative) { return root_.dir / "c" / relative; }
    fs::path RootDir() { return root_.dir; }
    bool NothingShown() { return Screen().empty() && Debugger().empty() && !ErrorReported(); }
    void ExpectShown(std::initializer_list<std::string> messages) {
        std::string expected = Reports(messages);
        EXPECT_EQ(Screen(), expected);
        EXPECT_EQ(Debugger(), expected);
    }

private:
    TempRoot root_;
};

}  // namespace pelmar_test
