#include "tools/platform/program.h"
#include "tools/platform/version.h"
#include "tools/platform/win32_text.h"

int wmain(int argc, wchar_t **argv) {
    pelmar_tools::Utf8Arguments arguments(argc, argv);
    if (pelmar_tools::PrintedVersion(arguments.argc(), arguments.argv(), pelmar_tools::kProgramName)) return 0;
    return pelmar_tools::ProgramMain(arguments.argc(), arguments.argv());
}

const char pelmar_tools::kFollowSymlinkUsage[] =
    "  --follow-symlink  taken for the Linux tool's sake; on Windows an OUTPUT that is a symbolic link or\n"
    "                    junction is always refused\n";
const char pelmar_tools::kHelpUsage[] =
    "  --help, -h, /?    this text\n"
    "  --version         the version\n";
