// Replaying the entries: where each entry type writes, what the sector
// buffer holds, the running position, entries that continue into the next
// entry sector, and images that try to write where they must not.
#include <gmock/gmock.h>

#include <cstring>

#include "support/restore_support.h"

namespace pelmar_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class Replay : public RestoreTest {};

TEST_F(Replay, AnImageThatEndsAtOnceSucceedsWithoutWriting) {
    ImageLayout layout;
    layout.entryCount = 1;  // the count is checked for 0 only
    EXPECT_EQ(Restore(layout), 1);
    EXPECT_TRUE(NothingShown());
    EXPECT_EQ(CountInTrace("NtWriteFile"), 0u);
    EXPECT_THAT(ChangedSectors(), IsEmpty());
    EXPECT_TRUE(AllHandlesClosed());
}

TEST_F(Replay, AZeroFillFollowedByARepeatRunWritesEightZeroSectors) {
    ImageLayout layout;
    layout.entries = {{0x0400, 0}, {0x0300, 7}};
    ASSERT_EQ(Restore(layout), 1);
    EXPECT_THAT(WriteOffsets(), ElementsAre(0, 512, 1024, 1536, 2048, 2560, 3072, 3584));
    EXPECT_THAT(ChangedSectors(), ElementsAre(0, 1, 2, 3, 4, 5, 6, 7));
    std::string disk = Disk();
    for (int i = 0; i < 8; ++i) EXPECT_EQ(SectorOf(disk, i), Filled(512, 0)) << i;
    EXPECT_TRUE(NothingShown());
}

TEST_F(Replay, FillEntriesUseTheirLowByteAndSetTheRunningPosition) {
    ImageLayout layout;
    layout.entries = {{0x04FF, 1024}, {0x0300, 1}, {0x0437, 40 * 512}, {0x0300, 2}, {0x0401, 4095 * 512}};
    ASSERT_EQ(Restore(layout), 1);
    EXPECT_THAT(WriteOffsets(), ElementsAre(1024, 1536, 40 * 512, 41 * 512, 42 * 512, 4095 * 512));
    std::string disk = Disk();
    EXPECT_EQ(SectorOf(disk, 2), Filled(512, 0xFF));
    EXPECT_EQ(SectorOf(disk, 3), Filled(512, 0xFF));
    for (int i = 40; i < 43; ++i) EXPECT_EQ(SectorOf(disk, i), Filled(512, 0x37)) << i;
    EXPECT_EQ(SectorOf(disk, 4095), Filled(512, 0x01));
    EXPECT_THAT(ChangedSectors(), ElementsAre(2, 3, 40, 41, 42, 4095));
}

TEST_F(Replay, DataEntriesTakeTheDataStreamInOrder) {
    ImageLayout layout;
    layout.entries = {{0x0100, 1048576}, {0x0200, 2}};
    layout.data = {Noise(512, 1), Noise(512, 2), Noise(512, 3), Noise(512, 4)};
    ASSERT_EQ(Restore(layout), 1);
    EXPECT_THAT(WriteOffsets(), ElementsAre(1048576, 1049088, 1049600));
    std::string disk = Disk();
    EXPECT_EQ(SectorOf(disk, 2048), layout.data[0]);
    EXPECT_EQ(SectorOf(disk, 2049), layout.data[1]);
    EXPECT_EQ(SectorOf(disk, 2050), layout.data[2]);
    EXPECT_THAT(ChangedSectors(), ElementsAre(2048, 2049, 2050));
    // One data read per sector, all from the data handle's own position.
    EXPECT_EQ(CountInTrace("NtReadFile"), 2u + 3u);
}

TEST_F(Replay, TheDataStreamStartsAtTheHeadersDataOffsetWhereverThatIs) {
    ImageLayout layout;
    layout.entries = {{0x0100, 0}, {0x0300, 1}, {0x0100, 5 * 512}};
    layout.dataOffset = 3000;  // not sector-aligned in the file
    layout.data = {Noise(512, 10), Noise(512, 11)};
    ASSERT_EQ(Restore(layout), 1);
    std::string disk = Disk();
    EXPECT_EQ(SectorOf(disk, 0), layout.data[0]);
    EXPECT_EQ(SectorOf(disk, 1), layout.data[0]);  // the repeat run keeps the buffer
    EXPECT_EQ(SectorOf(disk, 5), layout.data[1]);
    EXPECT_THAT(ChangedSectors(), ElementsAre(0, 1, 5));
}

TEST_F(Replay, RunsBeforeAnyExplicitOffsetStartAtTheSecondSectorWithAZeroBuffer) {
    // Whatever the buffer held before the restore, a repeat run before any
    // read or fill writes zero sectors.
    std::memset(context_->SectorBuffer, 0xAA, sizeof context_->SectorBuffer);
    ImageLayout layout;
    layout.entries = {{0x0300, 2}, {0x0200, 1}};
    layout.data = {Noise(512, 5)};
    ASSERT_EQ(Restore(layout), 1);
    EXPECT_THAT(WriteOffsets(), ElementsAre(512, 1024, 1536));
    std::string disk = Disk();
    EXPECT_EQ(SectorOf(disk, 1), Filled(512, 0));
    EXPECT_EQ(SectorOf(disk, 2), Filled(512, 0));
    EXPECT_EQ(SectorOf(disk, 3), layout.data[0]);
    EXPECT_THAT(ChangedSectors(), ElementsAre(1, 2, 3));
}

TEST_F(Replay, RunsOfZeroSectorsWriteAndReadNothing) {
    ImageLayout layout;
    layout.entries = {{0x0200, 0}, {0x0300, 0}, {0x0400, 512}, {0x0300, 0}, {0x0200, 0}, {0x0300, 1}};
    ASSERT_EQ(Restore(layout), 1);
    EXPECT_THAT(WriteOffsets(), ElementsAre(512, 1024));
    EXPECT_EQ(CountInTrace("NtReadFile"), 2u);  // header and entry sector only
}

TEST_F(Replay, The33rdEntryComesFromTheFirstSlotOfTheNextEntrySector) {
    ImageLayout layout;
    for (uint16_t i = 0; i < 33; ++i)
        layout.entries.push_back({static_cast<uint16_t>(0x0400 | (i + 1)), i * 1024ull});
    // Behind the end entry: a slot the restore must never reach.
    layout.entries.push_back({0x0000, 0});
    layout.entries.push_back({0x0500, 0});
    layout.endEntry = false;
    ASSERT_EQ(Restore(layout), 1);
    EXPECT_TRUE(NothingShown());
    std::string disk = Disk();
    for (uint64_t i = 0; i < 33; ++i)
        EXPECT_EQ(SectorOf(disk, 2 * i), Filled(512, static_cast<uint8_t>(i + 1))) << i;
    EXPECT_EQ(ChangedSectors().size(), 33u);
    // The first entry sector is read at offset S, the next one at the entry
    // handle's current position: both through the handle the header came
    // through.
    auto reads = TraceOf("NtReadFile");
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_NE(reads[1].find("length=512, offset=512"), std::string::npos) << reads[1];
    EXPECT_NE(reads[2].find("length=512, offset=current"), std::string::npos) << reads[2];
    EXPECT_EQ(HandleOf(reads[1]), HandleOf(reads[0]));
    EXPECT_EQ(HandleOf(reads[2]), HandleOf(reads[0]));
}

TEST_F(Replay, AnInvalidTypeStopsTheRestoreWhereItStands) {
    ImageLayout layout;
    layout.entries = {{0x04FF, 0}, {0x0500, 512}, {0x04FF, 1024}};
    EXPECT_EQ(Restore(layout), 0);
    ExpectShown({"Invalid image file entry!"});
    EXPECT_THAT(ChangedSectors(), ElementsAre(0));
    // What was written stays written; the volume is still dismounted.
    EXPECT_TRUE(TraceHas("NtFsControlFile", "code=0x00090020"));
    EXPECT_TRUE(AllHandlesClosed());
}

TEST_F(Replay, EveryTypeOutsideTheTableIsInvalid) {
    for (uint16_t type : {0x0001, 0x00FF, 0x0101, 0x0201, 0x03FF, 0x0500, 0x0600, 0xFF00, 0x1400, 0xFFFF}) {
        FreshMachine(options());
        ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
        ImageLayout layout;
        layout.entries = {{type, 0}};
        layout.data = {Noise(512, 1)};
        EXPECT_EQ(Restore(layout), 0) << type;
        ExpectShown({"Invalid image file entry!"});
        EXPECT_EQ(CountInTrace("NtWriteFile"), 0u) << type;
    }
}

class SectorSize1024 : public RestoreTest {
  protected:
    SectorSize1024() { diskSectorSize_ = 1024; }
};

TEST_F(SectorSize1024, TheSectorSizeSetsTheEntryStreamTheRunningPositionAndTheTransfers) {
    ImageLayout layout;
    layout.sectorSize = 1024;
    layout.entries = {{0x0300, 1}};  // the running position starts one 1024-byte sector in
    for (uint16_t i = 0; i < 63; ++i) layout.entries.push_back({0x0100, (i + 2) * 1024ull});
    layout.entries.push_back({0x0200, 1});  // the 65th entry: first slot of the next entry sector
    for (int i = 0; i < 64; ++i) layout.data.push_back(Noise(1024, 100 + i));
    ASSERT_EQ(Restore(layout), 1);
    std::string disk = Disk();
    EXPECT_EQ(SectorOf(disk, 1), Filled(1024, 0));
    for (int i = 0; i < 64; ++i) EXPECT_EQ(SectorOf(disk, i + 2), layout.data[i]) << i;
    EXPECT_EQ(ChangedSectors().size(), 65u);
    for (const auto &line : TraceOf("NtWriteFile"))
        EXPECT_NE(line.find("length=1024"), std::string::npos) << line;
    auto sets = TraceOf("NtSetInformationFile");
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_NE(sets[0].find("offset=1024"), std::string::npos) << sets[0];
}

// Images that would write outside the volume or read beyond their own end.
class HostileImage : public RestoreTest {};

TEST_F(HostileImage, AWriteBeyondTheVolumeFailsWithTheWritesReport) {
    ImageLayout layout;
    layout.entries = {{0x0400, 4096 * 512}};
    EXPECT_EQ(Restore(layout), 0);
    ExpectShown({"WriteFile failed (" + Hex(STATUS_DISK_FULL) + ")"});
    EXPECT_THAT(ChangedSectors(), IsEmpty());
    EXPECT_TRUE(AllHandlesClosed());
}

TEST_F(HostileImage, AnEndlessRepeatRunStopsAtTheVolumesEnd) {
    ImageLayout layout;
    layout.entries = {{0x0433, 4094 * 512}, {0x0300, ~0ull}};
    EXPECT_EQ(Restore(layout), 0);
    ExpectShown({"WriteFile failed (" + Hex(STATUS_DISK_FULL) + ")"});
    EXPECT_THAT(ChangedSectors(), ElementsAre(4094, 4095));
    EXPECT_EQ(CountInTrace("NtWriteFile"), 3u);
}

TEST_F(HostileImage, AnEndlessDataRunStopsAtTheEndOfTheData) {
    ImageLayout layout;
    layout.entries = {{0x0100, 0}, {0x0200, ~0ull}};
    layout.data = {Noise(512, 1), Noise(512, 2), Noise(512, 3)};
    EXPECT_EQ(Restore(layout), 0);
    ExpectShown({"ReadFile failed (" + Hex(STATUS_END_OF_FILE) + ")", "Cannot read image data sector!"});
    EXPECT_THAT(ChangedSectors(), ElementsAre(0, 1, 2));
}

TEST_F(HostileImage, OffsetsWithTheSignBitSetAreInvalidEntries) {
    // The platform reads two of these values as "the current position" and
    // "the end of the file"; no such entry may write anything.
    for (uint64_t offset : {0xFFFFFFFFFFFFFFFEull, 0xFFFFFFFFFFFFFFFFull, 0x8000000000000000ull}) {
        for (uint16_t type : {0x0100, 0x0400, 0x04FF}) {
            FreshMachine(options());
            ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
            ImageLayout layout;
            layout.entries = {{0x0400, 0}, {type, offset}};
            layout.data = {Noise(512, 1)};
            EXPECT_EQ(Restore(layout), 0) << type << " " << offset;
            ExpectShown({"Invalid image file entry!"});
            EXPECT_EQ(CountInTrace("NtWriteFile"), 1u);
            EXPECT_EQ(CountInTrace("NtReadFile"), 2u) << "no data read for a refused entry";
        }
    }
}

TEST_F(HostileImage, AnUnalignedOffsetIsRefusedByTheVolume) {
    ImageLayout layout;
    layout.entries = {{0x0400, 100}};
    EXPECT_EQ(Restore(layout), 0);
    ExpectShown({"WriteFile failed (" + Hex(STATUS_INVALID_PARAMETER) + ")"});
    EXPECT_THAT(ChangedSectors(), IsEmpty());
}

TEST_F(HostileImage, AHugeEntryCountIsNotUsed) {
    ImageLayout layout;
    layout.entryCount = ~0ull;
    layout.entries = {{0x0400, 0}};
    EXPECT_EQ(Restore(layout), 1);
    EXPECT_THAT(ChangedSectors(), ElementsAre(0));
}

}  // namespace
}  // namespace pelmar_test
