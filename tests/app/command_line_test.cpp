// The command line: letter codes, hash, iteration rules, drive letter and
// the converted paths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/app_context.h"
#include "app/command_line.h"
#include "support/native_test.h"

using pelmar_test::FreshMachine;

namespace {

struct Parsed {
    RUN_SETTINGS settings{};
    WCHAR drive = 0;
    std::u16string container;
    std::u16string image;
};

struct ContextDeleter {
    void operator()(APP_CONTEXT *p) const { std::free(p); }
};

std::unique_ptr<APP_CONTEXT, ContextDeleter> NewContext() {
    size_t size = (AppContextRequestSize() + APP_CONTEXT_ALIGNMENT - 1) / APP_CONTEXT_ALIGNMENT * APP_CONTEXT_ALIGNMENT;
    return std::unique_ptr<APP_CONTEXT, ContextDeleter>(
        static_cast<APP_CONTEXT *>(std::aligned_alloc(APP_CONTEXT_ALIGNMENT, size)));
}

Parsed Parse(std::vector<std::string> args) {
    FreshMachine();
    auto context = NewContext();
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Parsed out;
    SetRunDefaults(context.get(), &out.settings);
    ParseCommandLine(static_cast<int32_t>(args.size()), argv.data(), context.get(), &out.settings);
    out.drive = context->DriveLetter;
    out.container = context->ContainerPath;
    out.image = context->ImagePath;
    return out;
}

TEST(CommandLine, NoArgumentsGiveTheDefaults) {
    Parsed p = Parse({"pelmar"});
    EXPECT_EQ(p.settings.Ea, 1);
    EXPECT_EQ(p.settings.Prf, 2);
    EXPECT_EQ(p.settings.Iterations, 2000u);
    EXPECT_EQ(p.drive, u'T');
    EXPECT_EQ(p.container, u"c:\\pelmar.tc");
    EXPECT_EQ(p.image, u"c:\\pelmar.img");
}

TEST(CommandLine, EveryEncryptionAlgorithmCode) {
    const std::vector<std::pair<std::string, int32_t>> codes = {
        {"A", 1},  {"AT", 7},   {"ATS", 8}, {"ATX", 7}, {"AX", 1},    {"AES", 1}, {"B", 2},
        {"Bx", 2}, {"C", 3},    {"D", 5},   {"S", 4},   {"SA", 9},    {"ST", 4},  {"STA", 10},
        {"STX", 4}, {"SX", 4},  {"T", 6},   {"TS", 11}, {"TX", 6},    {"a", 1},   {"ats", 1},
        {"Z", 1},  {"", 1},     {"s", 1},   {"ATSx", 8}, {"STAB", 10},
    };
    for (const auto &[code, ea] : codes) EXPECT_EQ(Parse({"pelmar", code}).settings.Ea, ea) << code;
}

TEST(CommandLine, HashByFirstCharacter) {
    EXPECT_EQ(Parse({"pelmar", "A", "r"}).settings.Prf, 1);
    EXPECT_EQ(Parse({"pelmar", "A", "ripemd"}).settings.Prf, 1);
    EXPECT_EQ(Parse({"pelmar", "A", "w"}).settings.Prf, 3);
    EXPECT_EQ(Parse({"pelmar", "A", "s"}).settings.Prf, 2);
    EXPECT_EQ(Parse({"pelmar", "A", "R"}).settings.Prf, 2);
    EXPECT_EQ(Parse({"pelmar", "A", "W"}).settings.Prf, 2);
    EXPECT_EQ(Parse({"pelmar", "A", ""}).settings.Prf, 2);
}

TEST(CommandLine, IterationRules) {
    auto iterations = [](const char *prf, const char *value) {
        return Parse({"pelmar", "A", prf, value}).settings.Iterations;
    };
    EXPECT_EQ(Parse({"pelmar", "ATS", "w", "3"}).settings.Iterations, 3000u);
    EXPECT_EQ(iterations("s", "-5000"), 5000u);
    EXPECT_EQ(iterations("s", "-2000"), 2000u);
    EXPECT_EQ(iterations("s", "-2001"), 2001u);
    EXPECT_EQ(iterations("s", "-1"), 2000u);
    EXPECT_EQ(iterations("s", "1"), 2000u);
    EXPECT_EQ(iterations("s", "0"), 2000u);
    EXPECT_EQ(iterations("s", "2"), 4000u);
    EXPECT_EQ(iterations("s", "2000000"), 4000000000u);
    EXPECT_EQ(iterations("s", "2000001"), 2000u);
    EXPECT_EQ(iterations("s", "many"), 2000u);
    EXPECT_EQ(iterations("s", "12x"), 24000u);
    EXPECT_EQ(iterations("w", "-1000"), 1000u);
    EXPECT_EQ(iterations("w", "-1001"), 1001u);
    EXPECT_EQ(iterations("w", "2000000"), 2000000000u);
    EXPECT_EQ(iterations("r", "-2147483648"), 2147483648u);
    // Text far beyond the 32-bit range neither wraps into a factor nor
    // into a negative count.
    EXPECT_EQ(iterations("s", "99999999999"), 2000u);
    EXPECT_EQ(iterations("s", "-99999999999"), 2147483648u);
}

TEST(CommandLine, DriveLetter) {
    auto drive = [](const char *value) { return Parse({"pelmar", "A", "s", "1", value}).drive; };
    EXPECT_EQ(drive("k"), u'K');
    EXPECT_EQ(drive("K"), u'K');
    EXPECT_EQ(drive("zeta"), u'Z');
    EXPECT_EQ(drive("9"), u'T');
    EXPECT_EQ(drive(""), u'T');
    EXPECT_EQ(drive("\xe9"), u'T');
}

TEST(CommandLine, PathsAreConvertedFromTheAnsiCodePage) {
    Parsed p = Parse({"pelmar", "A", "s", "1", "x", "d:\\caf\xe9.tc", "\\??\\e:\\\x80.img", "ignored"});
    EXPECT_EQ(p.container, u"d:\\caf\u00e9.tc");
    EXPECT_EQ(p.image, u"\\??\\e:\\\u20ac.img");
}

TEST(CommandLine, PathConversionFailureKeepsTheDefault) {
    ntsim::Options options;
    options.faults.push_back({"RtlAnsiStringToUnicodeString", 1, STATUS_NO_MEMORY});
    FreshMachine(options);
    auto context = NewContext();
    RUN_SETTINGS settings;
    SetRunDefaults(context.get(), &settings);
    std::vector<std::string> args = {"pelmar", "A", "s", "1", "x", "d:\\a.tc", "d:\\b.img"};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    ParseCommandLine(7, argv.data(), context.get(), &settings);
    EXPECT_EQ(std::u16string(context->ContainerPath), u"c:\\pelmar.tc");
    EXPECT_EQ(std::u16string(context->ImagePath), u"d:\\b.img");
}

}  // namespace
