#include "tools/platform/program.h"
#include "tools/platform/version.h"

int main(int argc, char **argv) {
    if (pelmar_tools::PrintedVersion(argc, argv, pelmar_tools::kProgramName)) return 0;
    return pelmar_tools::ProgramMain(argc, argv);
}

const char pelmar_tools::kFollowSymlinkUsage[] =
    "  --follow-symlink  when OUTPUT is a symbolic link, replace the file it points to\n";
const char pelmar_tools::kHelpUsage[] = "  --help, --version  this text; the version\n";
