// A tool's entry, the same for every tool and platform: the platform's own
// entry (main on Linux, program_posix.cpp; wmain on Windows, with the
// arguments turned into UTF-8, program_win32.cpp) answers --version with the
// program's name and otherwise runs the program.
#pragma once

namespace pelmar_tools {

// Each tool defines both: its name as --version prints it, and its work
// over the UTF-8 arguments, returning the exit status.
extern const char kProgramName[];
int ProgramMain(int argc, char **argv);

// The lines of a tool's usage that differ between the platforms: what
// --follow-symlink does with an output that is a link, and the words that
// ask for help (with --version), each line ending in a newline.
extern const char kFollowSymlinkUsage[];
extern const char kHelpUsage[];

}  // namespace pelmar_tools
