// The container's sample read on Windows (see container_sample_win32.h).
#include "tools/pelmar-install/container_sample_win32.h"

#include <windows.h>

#include "tools/pelmar-install/container_check.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {

bool ReadContainerSample(const std::wstring &path, uint64_t size, std::vector<uint8_t> &sample,
                         std::string &error) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = SystemErrorText(GetLastError());
        return false;
    }
    sample.clear();
    bool ok = true;
    for (const FileRange &range : ContainerSampleRanges(size)) {
        const size_t at = sample.size();
        sample.resize(at + static_cast<size_t>(range.second));
        ok = ReadHandleAt(file, range.first, sample.data() + at, static_cast<size_t>(range.second), error);
        if (!ok) break;
    }
    CloseHandle(file);
    return ok;
}

}  // namespace pelmar_tools
