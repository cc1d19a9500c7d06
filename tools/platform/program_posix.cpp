#include "tools/platform/program.h"
#include "tools/platform/version.h"

int main(int argc, char **argv) {
    if (pelmar_tools::PrintedVersion(argc, argv, pelmar_tools::kProgramName)) return 0;
    return pelmar_tools::ProgramMain(argc, argv);
}
