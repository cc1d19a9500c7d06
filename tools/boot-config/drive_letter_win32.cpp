// What a drive letter names today on Windows (see drive_letter_win32.h).
#include "tools/boot-config/drive_letter_win32.h"

#include <windows.h>

#include "tools/platform/win32_text.h"

namespace pelmar_tools {

std::optional<std::string> LetterDevice(char letter) {
    const wchar_t drive[] = {static_cast<wchar_t>(letter), L':', 0};
    wchar_t target[1024];
    if (!QueryDosDeviceW(drive, target, 1024)) return std::nullopt;
    return Narrow(target);
}

}  // namespace pelmar_tools
