// The checks before the replay: the image header, the volume's geometry,
// the positioning of the two image streams and the first entry sector;
// each failure is reported once, in its own words, and writes nothing.
#include <gmock/gmock.h>

#include <cstring>
#include <optional>

#include "ntsim/files.h"
#include "support/restore_support.h"

namespace pelmar_test {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

class ImageChecks : public RestoreTest {
  protected:
    // A valid image that would write sector 0 if the checks let it through.
    ImageLayout Valid() {
        ImageLayout layout;
        layout.entries = {{0x0100, 0}};
        layout.data = {Noise(512, 3)};
        return layout;
    }
    void ExpectRefused(const ImageLayout &layout, std::initializer_list<std::string> messages) {
        EXPECT_EQ(Restore(layout), 0);
        ExpectShown(messages);
        EXPECT_EQ(CountInTrace("NtWriteFile"), 0u);
        EXPECT_THAT(ChangedSectors(), IsEmpty());
        EXPECT_TRUE(AllHandlesClosed());
    }
};

TEST_F(ImageChecks, AWrongMagicIsRefused) {
    ImageLayout layout = Valid();
    layout.magic = 0x3519AFD1;
    ExpectRefused(layout, {"Invalid image file (wrong header id)!"});
}

TEST_F(ImageChecks, OnlyTheFivePowerOfTwoSectorSizesAreSupported) {
    ImageLayout layout = Valid();
    layout.sectorSize = 768;
    ExpectRefused(layout, {"Unsupported image file (sector size = 768)!"});
    for (uint32_t size : {0u, 256u, 513u, 16384u, 65535u}) {
        FreshMachine(options());
        ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
        layout.sectorSize = size;
        ExpectRefused(layout, {"Unsupported image file (sector size = " + std::to_string(size) + ")!"});
        // Refused before the volume is asked anything.
        EXPECT_EQ(CountInTrace("NtDeviceIoControlFile"), 0u);
    }
}

TEST_F(ImageChecks, AnEntryCountOfZeroIsRefused) {
    ImageLayout layout = Valid();
    layout.entryCount = 0;
    ExpectRefused(layout, {"Unsupported image file (no entries)!"});
}

TEST_F(ImageChecks, TheMagicIsCheckedFirstThenTheSectorSizeThenTheCount) {
    ImageLayout layout = Valid();
    layout.magic = 0;
    layout.sectorSize = 768;
    layout.entryCount = 0;
    ExpectRefused(layout, {"Invalid image file (wrong header id)!"});
    FreshMachine(options());
    ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
    layout.magic = kMagic;
    ExpectRefused(layout, {"Unsupported image file (sector size = 768)!"});
}

TEST_F(ImageChecks, TheVolumeSizeMustMatchExactlyEvenWhenTheImageWouldFit) {
    for (uint64_t sectors :
         std::vector<uint64_t>{kDiskSectors - 1, kDiskSectors + 1, 1, 0, kDiskSectors << 32}) {
        FreshMachine(options());
        ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
        ImageLayout layout = Valid();
        layout.volumeSectors = sectors;
        ExpectRefused(layout, {"Disk size is different to disk image!"});
    }
}

TEST_F(ImageChecks, AnImageFileShorterThanTheHeaderIsRefusedByItsOwnMessage) {
    // A short read without a count is silent in the I/O layer.
    PutImage(BuildImage(Valid()).substr(0, 100));
    EXPECT_EQ(RestoreFileSystem(context_.get()), 0);
    ExpectShown({"Cannot read image file header!"});
    EXPECT_THAT(ChangedSectors(), IsEmpty());
    EXPECT_TRUE(AllHandlesClosed());
}

TEST_F(ImageChecks, AnEmptyImageFileShowsTheEndOfFileAndTheHeaderMessage) {
    PutImage("");
    EXPECT_EQ(RestoreFileSystem(context_.get()), 0);
    ExpectShown({"ReadFile failed (" + Hex(STATUS_END_OF_FILE) + ")", "Cannot read image file header!"});
    EXPECT_TRUE(AllHandlesClosed());
}

TEST_F(ImageChecks, AFailedGeometryQueryIsReported) {
    Fail("NtDeviceIoControlFile", 1, STATUS_INVALID_DEVICE_REQUEST);
    ExpectRefused(Valid(), {"DeviceIoControl failed (" + Hex(STATUS_INVALID_DEVICE_REQUEST) + ")",
                            "Cannot get drive geometry!"});
}

TEST_F(ImageChecks, AGeometryAnswerOfTheWrongSizeIsAFailure) {
    // The request "succeeds" without the device answering: no bytes return.
    Fail("NtDeviceIoControlFile", 1, 0x40000000);
    ExpectRefused(Valid(), {"Cannot get drive geometry!"});
}

// A raw disk that describes itself with another geometry, or answers the
// geometry request with fewer bytes.
class ShortGeometryVolume : public ntsim::Volume {
  public:
    ShortGeometryVolume(std::shared_ptr<ntsim::SectorStore> store, ULONG_PTR answered,
                        std::optional<DISK_GEOMETRY> geometry = std::nullopt)
        : Volume('T', std::move(store)), answered_(answered), geometry_(geometry) {}
    NTSTATUS DeviceControl(ntsim::FileObject &file, ULONG code, uint8_t *buffer, ULONG inputLength,
                           ULONG outputLength, ULONG_PTR &information) override {
        NTSTATUS status = Volume::DeviceControl(file, code, buffer, inputLength, outputLength, information);
        if (code == IOCTL_DISK_GET_DRIVE_GEOMETRY) {
            information = answered_;
            if (geometry_) std::memcpy(buffer, &*geometry_, sizeof *geometry_);
        }
        return status;
    }

  private:
    ULONG_PTR answered_;
    std::optional<DISK_GEOMETRY> geometry_;
};

TEST_F(ImageChecks, TheVolumeSizeIsCylindersTimesTracksTimesSectorsIn64Bits) {
    struct Case {
        int64_t cylinders;
        ULONG tracks, sectorsPerTrack;
        uint64_t imageSectors;
        bool accepted;
    } cases[] = {
        {64, 4, 16, 4096, true},
        {64, 4, 16, 64, false},
        {64, 4, 16, 256, false},
        {1, 65536, 65536, 1ull << 32, true},  // the product needs more than 32 bits
        {1, 65536, 65536, 0, false},
        {1ll << 33, 2, 2, 1ull << 35, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.imageSectors);
        FreshMachine(options());
        ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
        auto store = ntsim::ImageFileStore::Open(disk_, 0, 512);
        ASSERT_TRUE(store);
        DISK_GEOMETRY geometry{};
        geometry.Cylinders.QuadPart = c.cylinders;
        geometry.MediaType = 12;
        geometry.TracksPerCylinder = c.tracks;
        geometry.SectorsPerTrack = c.sectorsPerTrack;
        geometry.BytesPerSector = 512;
        ntsim::AttachVolume('T', std::make_shared<ShortGeometryVolume>(store, 24, geometry));
        ImageLayout layout = Valid();
        layout.volumeSectors = c.imageSectors;
        if (c.accepted) {
            EXPECT_EQ(Restore(layout), 1);
            EXPECT_TRUE(NothingShown());
        } else {
            ExpectRefused(layout, {"Disk size is different to disk image!"});
        }
        ntsim::DetachVolume('T');
    }
}

TEST_F(ImageChecks, AGeometryAnswerOfAnyOtherLengthThan24BytesIsAFailure) {
    for (ULONG_PTR answered : {16u, 23u, 24u}) {
        FreshMachine(options());
        ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
        auto store = ntsim::ImageFileStore::Open(disk_, 0, 512);
        ASSERT_TRUE(store);
        ntsim::AttachVolume('T', std::make_shared<ShortGeometryVolume>(store, answered));
        if (answered == 24) {
            EXPECT_EQ(Restore(Valid()), 1);
            EXPECT_TRUE(NothingShown());
        } else {
            ExpectRefused(Valid(), {"Cannot get drive geometry!"});
        }
        ntsim::DetachVolume('T');
    }
}

TEST_F(ImageChecks, TheImageSectorSizeMustBeTheVolumes) {
    ImageLayout layout = Valid();
    layout.sectorSize = 1024;
    layout.volumeSectors = kDiskSectors / 2;  // same byte size
    layout.data = {Noise(1024, 3)};
    ExpectRefused(layout, {"Disk sector size is different to disk image!"});
}

TEST_F(ImageChecks, FailuresToPositionTheStreamsAreReported) {
    Fail("NtSetInformationFile", 1, STATUS_ACCESS_DENIED);
    ExpectRefused(Valid(), {"SetFileInfo failed (" + Hex(STATUS_ACCESS_DENIED) + ")",
                            "Cannot move file pointer to first entry!"});
    FreshMachine(options());
    ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
    Fail("NtSetInformationFile", 2, STATUS_ACCESS_DENIED);
    ExpectRefused(Valid(), {"SetFileInfo failed (" + Hex(STATUS_ACCESS_DENIED) + ")",
                            "Cannot move file pointer to first data block!"});
}

TEST_F(ImageChecks, ADataOffsetThatIsNoFilePositionIsReported) {
    ImageLayout layout = Valid();
    layout.dataOffset = 0x8000000000000000ull;
    layout.data.clear();
    ExpectRefused(layout, {"SetFileInfo failed (" + Hex(STATUS_INVALID_PARAMETER) + ")",
                           "Cannot move file pointer to first data block!"});
}

TEST_F(ImageChecks, AMissingOrShortFirstEntrySectorIsReported) {
    std::string image = BuildImage(Valid());
    PutImage(image.substr(0, 512));
    EXPECT_EQ(RestoreFileSystem(context_.get()), 0);
    ExpectShown({"ReadFile failed (" + Hex(STATUS_END_OF_FILE) + ")", "Cannot read first entry sector!"});
    EXPECT_THAT(TraceOf("NtReadFile")[0], HasSubstr("length=512, offset=current"));  // the header, exactly
    FreshMachine(options());
    ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
    PutImage(image.substr(0, 1000));
    EXPECT_EQ(RestoreFileSystem(context_.get()), 0);
    ExpectShown({"Cannot read first entry sector!"});
    EXPECT_THAT(ChangedSectors(), IsEmpty());
    EXPECT_TRUE(AllHandlesClosed());
}

// Failures inside the replay: missing data, an entry stream without end.
class ReplayFailures : public RestoreTest {};

TEST_F(ReplayFailures, MissingDataForAnEntryAtAnOffsetIsReportedAsSuch) {
    ImageLayout layout;
    layout.entries = {{0x0400, 0}, {0x0100, 512}};
    EXPECT_EQ(Restore(layout), 0);  // no data behind the entries
    ExpectShown({"ReadFile failed (" + Hex(STATUS_END_OF_FILE) + ")", "Cannot read image data sector!"});
    EXPECT_EQ(ChangedSectors(), std::vector<uint64_t>{0});
    FreshMachine(options());
    ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
    layout.data = {Noise(512, 1)};
    std::string image = BuildImage(layout);
    PutImage(image.substr(0, image.size() - 1));  // the data sector one byte short
    EXPECT_EQ(RestoreFileSystem(context_.get()), 0);
    ExpectShown({"Cannot read image data sector!"});
    EXPECT_EQ(CountInTrace("NtWriteFile"), 1u);
}

TEST_F(ReplayFailures, MissingDataForARunIsReportedAsSuch) {
    ImageLayout layout;
    layout.entries = {{0x0400, 0}, {0x0200, 1}};
    EXPECT_EQ(Restore(layout), 0);
    ExpectShown({"ReadFile failed (" + Hex(STATUS_END_OF_FILE) + ")", "Cannot read image data sector!"});
    EXPECT_EQ(ChangedSectors(), std::vector<uint64_t>{0});
    EXPECT_TRUE(AllHandlesClosed());
}

TEST_F(ReplayFailures, ATruncatedSectorInARunOrInTheEntryStreamIsReported) {
    // A short read without a count is a silent failure of the I/O layer;
    // the restore's own words are all the boot screen shows.
    ImageLayout layout;
    layout.entries = {{0x0400, 0}, {0x0200, 2}};
    layout.data = {Noise(512, 1), Noise(512, 2)};
    std::string image = BuildImage(layout);
    PutImage(image.substr(0, image.size() - 100));
    EXPECT_EQ(RestoreFileSystem(context_.get()), 0);
    ExpectShown({"Cannot read image data sector!"});
    EXPECT_EQ(ChangedSectors(), (std::vector<uint64_t>{0, 1}));
    EXPECT_TRUE(AllHandlesClosed());

    FreshMachine(options());
    ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
    ImageLayout stream;
    for (uint16_t i = 0; i < 33; ++i) stream.entries.push_back({0x0400, i * 512ull});
    image = BuildImage(stream);
    PutImage(image.substr(0, 1024 + 100));
    EXPECT_EQ(RestoreFileSystem(context_.get()), 0);
    ExpectShown({"Cannot read next entry sector!"});
    EXPECT_EQ(ChangedSectors().size(), 32u);
}

TEST_F(ReplayFailures, AnEntryStreamThatRunsOffTheFileIsReported) {
    ImageLayout layout;
    for (uint16_t i = 0; i < 32; ++i) layout.entries.push_back({0x0411, i * 512ull});
    layout.endEntry = false;  // exactly one full entry sector and nothing behind it
    std::string image = BuildImage(layout);
    ASSERT_EQ(image.size(), 1024u);
    PutImage(image);
    EXPECT_EQ(RestoreFileSystem(context_.get()), 0);
    ExpectShown({"ReadFile failed (" + Hex(STATUS_END_OF_FILE) + ")", "Cannot read next entry sector!"});
    EXPECT_EQ(ChangedSectors().size(), 32u);
    EXPECT_TRUE(AllHandlesClosed());
}

TEST_F(ReplayFailures, AFailedVolumeWriteEndsTheRestore) {
    ImageLayout layout;
    layout.entries = {{0x0400, 0}, {0x0300, 5}};
    Fail("NtWriteFile", 3, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Restore(layout), 0);
    ExpectShown({"WriteFile failed (" + Hex(STATUS_IO_DEVICE_ERROR) + ")"});
    EXPECT_EQ(CountInTrace("NtWriteFile"), 3u);
    EXPECT_TRUE(TraceHas("NtFsControlFile", "code=0x0009001c"));
}

}  // namespace
}  // namespace pelmar_test
