// The outputs put in place together, and the old set kept whole when that fails.
#include <gmock/gmock.h>


#include "tests/tools/image_support.h"
#include "tests/tools/tool_support.h"
#include "tools/platform/output_file.h"

namespace pelmar_test {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

// Several outputs go in place together: when one cannot, the old files are
// all back under their names (a name that was free is free again).
TEST_F(MkImage, OutputsCommittedTogetherLeaveTheOldSetWholeOnFailure) {
    using pelmar_tools::CommitTogether;
    using pelmar_tools::OutputFile;
    for (bool firstExisted : {true, false}) {
        SCOPED_TRACE(firstExisted);
        fs::remove_all(Work("set"));
        fs::create_directories(Work("set"));
        if (firstExisted) WriteHostFile(Work("set/a"), "old a");
        WriteHostFile(Work("set/b"), "old b");
        for (bool fail : {true, false}) {
            OutputFile a(Work("set/a")), b(Work("set/b"));
            std::string error;
            ASSERT_TRUE(a.Open(error) && b.Open(error)) << error;
            ASSERT_TRUE(a.WriteAt(0, "new a", 5, error) && b.WriteAt(0, "new b", 5, error));
            if (fail) fs::remove(b.temporaryPath());  // the second rename fails
            EXPECT_EQ(CommitTogether({&a, &b}, error), !fail) << error;
            std::vector<std::string> names;
            for (const auto &e : fs::directory_iterator(Work("set"))) names.push_back(e.path().filename());
            std::sort(names.begin(), names.end());
            if (fail) {
                EXPECT_THAT(error, HasSubstr("cannot rename"));
                EXPECT_EQ(fs::exists(Work("set/a")), firstExisted);
                EXPECT_EQ(firstExisted ? ReadHostFile(Work("set/a")) : "old a", "old a");
                EXPECT_EQ(ReadHostFile(Work("set/b")), "old b");
                EXPECT_EQ(names.size(), firstExisted ? 2u : 1u) << "nothing kept aside stays";
            } else {
                EXPECT_EQ(ReadHostFile(Work("set/a")) + ReadHostFile(Work("set/b")), "new anew b");
                EXPECT_THAT(names, ElementsAreArray({"a", "b"}));
            }
        }
    }
}

}  // namespace
}  // namespace pelmar_test
