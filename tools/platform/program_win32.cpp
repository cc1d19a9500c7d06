#include "tools/platform/program.h"
#include "tools/platform/version.h"
#include "tools/platform/win32_text.h"

int wmain(int argc, wchar_t **argv) {
    pelmar_tools::Utf8Arguments arguments(argc, argv);
    if (pelmar_tools::PrintedVersion(arguments.argc(), arguments.argv(), pelmar_tools::kProgramName)) return 0;
    return pelmar_tools::ProgramMain(arguments.argc(), arguments.argv());
}
