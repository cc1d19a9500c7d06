// Our own NTFS reader against libntfs-3g's reading of the same volumes.
#include <gmock/gmock.h>


#include "tests/tools/fs/ntfs_reference.h"
#include "tests/tools/image_support.h"
#include "tests/tools/tool_support.h"
#include "tools/fs/volume_layout.h"

namespace pelmar_test {
namespace {

// Our own NTFS reader gives what libntfs-3g reads from the bitmap, on
// volumes of several sizes and cluster sizes (sparse files), and on volumes
// whose $MFT or $Bitmap lies in pieces: libntfs-3g grows the MFT into the
// one-cluster holes of a volume filled with small files and emptied every
// other one; $Bitmap, which nothing grows, is split by moving half of it.
TEST_F(MkImage, OurNtfsReaderReadsWhatLibntfs3gReads) {
    const std::string mkntfs = FindUtility("mkntfs");
    if (mkntfs.empty()) GTEST_SKIP() << "ntfs-3g is needed";
    struct Case {
        int mib, cluster, extraFiles;  // files made after scattering the free space (0: not scattered)
        bool split;
        int mftRuns;  // at least
    } cases[] = {{3, 512, 0, false, 1},      {16, 1024, 0, false, 1},    {40, 2048, 0, false, 1},
                 {64, 4096, 0, false, 1},    {100, 8192, 0, false, 1},   {160, 16384, 0, false, 1},
                 {200, 32768, 0, false, 1},  {300, 65536, 0, false, 1},  {4, 512, 300, true, 5},
                 {4, 4096, 300, false, 5},   {300, 4096, 0, true, 1},
                 // So many pieces that the MFT's record holds an attribute list and
                 // record 15 the rest of its runs.
                 {16, 1024, 3000, true, 250}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.mib) + " MiB, clusters of " + std::to_string(c.cluster));
        const std::string raw = Work("ntfs.raw").string();
        WriteHostFile(raw, "");
        fs::resize_file(raw, static_cast<uint64_t>(c.mib) << 20);
        const std::string options = " -F -Q -q -c " + std::to_string(c.cluster) + " ";
        ASSERT_EQ(RunCommand(mkntfs + options + Quote(raw), RootDir()).exitCode, 0);
        std::string error;
        ASSERT_TRUE(!c.split || SplitNtfsBitmap(raw, error)) << error;
        ASSERT_TRUE(!c.extraFiles || ScatterNtfsFreeSpace(raw, 100000, c.extraFiles, error)) << error;
        EXPECT_EQ(NtfsDataRuns(raw, 6), c.split ? 2 : 1);
        EXPECT_GE(NtfsDataRuns(raw, 0), c.mftRuns);
        NtfsAllocation expected;
        ASSERT_TRUE(ReadNtfsAllocation(raw, expected, error)) << error;
        auto volume = pelmar_tools::OpenVolumeFile(raw, error);
        ASSERT_TRUE(volume) << error;
        uint8_t boot[512];
        ASSERT_TRUE(volume->ReadAt(0, boot, sizeof boot, error));
        pelmar_tools::VolumeLayout layout;
        ASSERT_EQ(pelmar_tools::ReadNtfsLayout(*volume, boot, layout, error), pelmar_tools::Recognition::Recognised)
            << error;
        EXPECT_EQ(layout.clusterBytes, expected.clusterBytes);
        EXPECT_EQ(layout.clusters, expected.clusters);
        EXPECT_EQ(layout.usedClusters, expected.used);
        std::vector<std::pair<uint64_t, uint64_t>> used;
        for (const auto &r : layout.used) used.push_back({r.start, r.end});
        std::vector<std::pair<uint64_t, uint64_t>> want;
        for (const auto &[first, end] : expected.ranges) want.push_back({first * c.cluster, end * c.cluster});
        if (!want.empty() && want.back().second == expected.clusters * c.cluster)
            want.back().second = volume->Size();
        else
            want.push_back({expected.clusters * c.cluster, volume->Size()});
        EXPECT_EQ(used, want);
    }
}

}  // namespace
}  // namespace pelmar_test
