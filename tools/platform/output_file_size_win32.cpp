// OutputFile::Resize on Windows, in a file of its own: the linker takes a
// whole object file from the library, every function in it, so a program
// that never sizes its output (pelmar-mkimage) links neither this nor the
// calls it imports.
#include <windows.h>

#include "tools/platform/output_file.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {

bool OutputFile::Resize(uint64_t size, std::string &error) {
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    HANDLE handle = reinterpret_cast<HANDLE>(file_);
    if (!SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) || !SetEndOfFile(handle)) {
        error = "cannot size " + path_ + ": " + SystemErrorText(GetLastError());
        return false;
    }
    return true;
}

}  // namespace pelmar_tools
