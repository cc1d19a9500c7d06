// The bracket around the replay: the two image handles and the volume
// handle, the lock, extended DASD, dismount and unlock, the order of the
// closes, and a sweep that fails every platform call of a restore in turn.
#include <gmock/gmock.h>

#include <map>

#include "ntsim/files.h"
#include "support/restore_support.h"

namespace pelmar_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A restore that uses every entry type.
ImageLayout EveryEntryType() {
    ImageLayout layout;
    layout.entries = {{0x0400, 0}, {0x0300, 2}, {0x0100, 3 * 512}, {0x0200, 2}, {0x04FF, 8 * 512}};
    layout.data = {Noise(512, 1), Noise(512, 2), Noise(512, 3)};
    return layout;
}

// The platform calls of the run that matter to the volume, in order:
// "NtFsControlFile 0x00090018" and the like, and plain names otherwise.
std::vector<std::string> VolumeCalls() {
    std::vector<std::string> out;
    for (const auto &line : M().traceLines()) {
        std::string name = line.substr(0, line.find('#'));
        if (name == "NtFsControlFile" || name == "NtDeviceIoControlFile") {
            auto at = line.find("code=");
            out.push_back(name + " " + line.substr(at + 5, 10));
        } else if (name == "NtWriteFile") {
            if (out.empty() || out.back() != "NtWriteFile") out.push_back(name);
        }
    }
    return out;
}

class Bracket : public RestoreTest {};

TEST_F(Bracket, OpensTheImageTwiceAndTheVolumeOnceAndClosesThemInReverse) {
    size_t allocations = CountInTrace("RtlAllocateHeap");
    ASSERT_EQ(Restore(EveryEntryType()), 1);
    EXPECT_TRUE(NothingShown());
    EXPECT_EQ(CountInTrace("RtlAllocateHeap"), allocations) << "the restore allocates nothing";
    auto creates = TraceOf("NtCreateFile");
    ASSERT_EQ(creates.size(), 3u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_NE(
            creates[i].find("path=\"\\\\??\\\\c:\\\\pelmar.img\", access=0x80100000, attributes=0x00000000, "
                            "share=0x00000001, disposition=1, options=0x00000024"),
            std::string::npos)
            << creates[i];
    }
    EXPECT_NE(creates[2].find("path=\"\\\\??\\\\T:\", access=0xc0100000, attributes=0x00000000, "
                              "share=0x00000003, disposition=1, options=0x00000024"),
              std::string::npos)
        << creates[2];
    auto closes = TraceOf("NtClose");
    ASSERT_EQ(closes.size(), 3u);
    EXPECT_EQ(HandleOf(closes[0]), HandleOf(creates[2]));
    EXPECT_EQ(HandleOf(closes[1]), HandleOf(creates[1]));
    EXPECT_EQ(HandleOf(closes[2]), HandleOf(creates[0]));
    EXPECT_TRUE(AllHandlesClosed());

    // Entries through the first handle, data through the second, sectors to
    // the volume.
    auto reads = TraceOf("NtReadFile");
    ASSERT_EQ(reads.size(), 2u + 3u);
    EXPECT_EQ(HandleOf(reads[0]), HandleOf(creates[0]));
    EXPECT_EQ(HandleOf(reads[1]), HandleOf(creates[0]));
    for (size_t i = 2; i < reads.size(); ++i) EXPECT_EQ(HandleOf(reads[i]), HandleOf(creates[1]));
    for (const auto &w : TraceOf("NtWriteFile")) EXPECT_EQ(HandleOf(w), HandleOf(creates[2]));
}

TEST_F(Bracket, TheReplayIsBracketedByLockAndExtendedAccessThenDismountAndUnlock) {
    ASSERT_EQ(Restore(EveryEntryType()), 1);
    EXPECT_THAT(VolumeCalls(), ElementsAre("NtFsControlFile 0x00090018", "NtFsControlFile 0x00090083",
                                           "NtDeviceIoControlFile 0x00070000", "NtWriteFile",
                                           "NtFsControlFile 0x00090020", "NtFsControlFile 0x0009001c"));
    auto volume = ntsim::VolumeOf('T');
    ASSERT_TRUE(volume);
    EXPECT_FALSE(volume->locked());
    EXPECT_EQ(volume->dismountCount(), 1u);
    EXPECT_THAT(ChangedSectors(), ElementsAre(0, 1, 2, 3, 4, 5, 8));
}

TEST_F(Bracket, AMissingImageFileIsReportedByTheOpen) {
    EXPECT_EQ(RestoreFileSystem(context_.get()), 0);
    ExpectShown(
        {"Cannot create/open file \"\\??\\c:\\pelmar.img\" (" + Hex(STATUS_OBJECT_NAME_NOT_FOUND) + ")"});
    EXPECT_EQ(CountInTrace("NtCreateFile"), 1u);
    EXPECT_TRUE(AllHandlesClosed());
}

TEST_F(Bracket, FailedSecondAndThirdOpensCloseWhatWasOpened) {
    PutImage(BuildImage(EveryEntryType()));
    Fail("NtCreateFile", 2, STATUS_SHARING_VIOLATION);
    EXPECT_EQ(RestoreFileSystem(context_.get()), 0);
    ExpectShown({"Cannot create/open file \"\\??\\c:\\pelmar.img\" (" + Hex(STATUS_SHARING_VIOLATION) + ")"});
    EXPECT_EQ(CountInTrace("NtClose"), 1u);
    EXPECT_TRUE(AllHandlesClosed());

    FreshMachine(options());
    ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
    context_->DriveLetter = u'Q';  // no such drive
    EXPECT_EQ(RestoreFileSystem(context_.get()), 0);
    ASSERT_EQ(CountInTrace("NtCreateFile"), 3u);
    EXPECT_NE(Screen().find("Cannot create/open file \"\\??\\Q:\" (0x"), std::string::npos) << Screen();
    EXPECT_EQ(CountInTrace("NtClose"), 2u);
    EXPECT_EQ(CountInTrace("NtFsControlFile"), 0u);
    EXPECT_TRUE(AllHandlesClosed());
}

TEST_F(Bracket, NamesThatDoNotFitAreReportedBeforeAnythingIsOpened) {
    std::u16string longPath = u"c:\\" + std::u16string(261, u'a');
    context_->ImagePath = longPath.c_str();
    EXPECT_EQ(RestoreFileSystem(context_.get()), 0);
    ExpectShown({"GetNtFileName: Buffer too small!"});
    EXPECT_EQ(CountInTrace("NtCreateFile"), 0u);

    FreshMachine(options());
    ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
    context_->ImagePath = u"c:\\pelmar.img";
    context_->DriveLetter = u'1';
    EXPECT_EQ(RestoreFileSystem(context_.get()), 0);
    ExpectShown({"GetNtDriveName: Invalid parameter!"});
    EXPECT_EQ(CountInTrace("NtCreateFile"), 0u);
}

TEST_F(Bracket, AVolumeThatCannotBeLockedIsNotWritten) {
    PutImage(BuildImage(EveryEntryType()));
    HANDLE other = nullptr;
    ASSERT_EQ(CreateFile(&other, u"\\??\\T:", GENERIC_READ, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                         FILE_SYNCHRONOUS_IO_NONALERT),
              1);
    baselineHandles_ = M().OpenHandleCount();
    EXPECT_EQ(RestoreFileSystem(context_.get()), 0);
    ExpectShown({"DeviceIoControl failed (" + Hex(STATUS_ACCESS_DENIED) + ")"});
    EXPECT_THAT(VolumeCalls(), ElementsAre("NtFsControlFile 0x00090018"));
    EXPECT_EQ(CountInTrace("NtReadFile"), 0u);
    EXPECT_THAT(ChangedSectors(), IsEmpty());
    EXPECT_TRUE(AllHandlesClosed());
    NtClose(other);
}

TEST_F(Bracket, ARefusedExtendedAccessIsSilentAndTheRestoreGoesOn) {
    Fail("NtFsControlFile", 2, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Restore(EveryEntryType()), 1);
    EXPECT_TRUE(NothingShown());
    EXPECT_EQ(ChangedSectors().size(), 7u);
}

TEST_F(Bracket, FailuresOfDismountAndUnlockDoNotChangeTheResult) {
    Fail("NtFsControlFile", 3, STATUS_ACCESS_DENIED);
    Fail("NtFsControlFile", 4, STATUS_NOT_LOCKED);
    EXPECT_EQ(Restore(EveryEntryType()), 1);
    ExpectShown({"DeviceIoControl failed (" + Hex(STATUS_ACCESS_DENIED) + ")",
                 "DeviceIoControl failed (" + Hex(STATUS_NOT_LOCKED) + ")"});
    EXPECT_EQ(ChangedSectors().size(), 7u);
    EXPECT_TRUE(AllHandlesClosed());
}

// Every platform call of a good restore, failed in turn.
TEST_F(Bracket, EveryFailedCallIsReportedOnceStopsTheRestoreAndClosesEverything) {
    const std::vector<std::string> calls = {"NtCreateFile",    "NtReadFile",
                                            "NtWriteFile",     "NtSetInformationFile",
                                            "NtFsControlFile", "NtDeviceIoControlFile"};
    ASSERT_EQ(Restore(EveryEntryType()), 1);
    std::map<std::string, uint64_t> counts;
    for (const auto &c : calls) counts[c] = CountInTrace(c);
    ASSERT_EQ(counts["NtFsControlFile"], 4u);

    const NTSTATUS injected = STATUS_IO_DEVICE_ERROR;
    const std::string shown = Hex(injected);
    size_t cases = 0;
    for (const auto &call : calls) {
        for (uint64_t n = 1; n <= counts[call]; ++n, ++cases) {
            SCOPED_TRACE(call + " #" + std::to_string(n));
            FreshMachine(options());
            ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
            Fail(call, n, injected);
            int32_t result = Restore(EveryEntryType());
            bool afterTheReplay = call == "NtFsControlFile" && n >= 3;
            bool extendedAccess = call == "NtFsControlFile" && n == 2;
            EXPECT_EQ(result, afterTheReplay || extendedAccess ? 1 : 0);
            EXPECT_TRUE(AllHandlesClosed());
            auto volume = ntsim::VolumeOf('T');
            ASSERT_TRUE(volume);
            EXPECT_FALSE(volume->locked());
            // The failure shows once (the refused extended access not at
            // all); at most the restore's own words follow it.
            size_t times = 0;
            for (size_t at = Screen().find(shown); at != std::string::npos; at = Screen().find(shown, at + 1))
                ++times;
            EXPECT_EQ(times, extendedAccess ? 0u : 1u) << Screen();
            size_t lines = std::count(Screen().begin(), Screen().end(), '\n');
            EXPECT_LE(lines, extendedAccess ? 0u : 3u) << Screen();
            EXPECT_EQ(Screen(), Debugger());
            // Nothing is read or written after a failure that fails the restore.
            if (!afterTheReplay && !extendedAccess) {
                const auto &trace = M().traceLines();
                auto failed = std::find_if(trace.begin(), trace.end(), [](const std::string &l) {
                    return l.find("[injected]") != std::string::npos;
                });
                ASSERT_NE(failed, trace.end());
                for (auto it = failed + 1; it != trace.end(); ++it) {
                    EXPECT_NE(it->rfind("NtReadFile#", 0), 0u) << *it;
                    EXPECT_NE(it->rfind("NtWriteFile#", 0), 0u) << *it;
                }
            }
        }
    }
    EXPECT_GT(cases, 20u);
}

}  // namespace
}  // namespace pelmar_test
