#include "tools/platform/win32_text.h"

namespace pelmar_tools {

std::wstring Widen(const std::string &utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string Narrow(const wchar_t *utf16) {
    int n = WideCharToMultiByte(CP_UTF8, 0, utf16, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string narrow(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16, -1, narrow.data(), n, nullptr, nullptr);
    narrow.pop_back();  // the terminating NUL
    return narrow;
}

std::string Narrow(const std::u16string &utf16) { return Narrow(AsWide(utf16).c_str()); }

std::wstring AsWide(const std::u16string &text) { return std::wstring(text.begin(), text.end()); }

std::u16string AsUtf16(const std::wstring &text) { return std::u16string(text.begin(), text.end()); }

std::string SystemErrorText(DWORD code) {
    wchar_t *text = nullptr;
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string message = n && text ? Narrow(text) : std::string();
    if (text) LocalFree(text);
    // The system's sentences end with a full stop and a line break; the
    // tools' messages go on after the reason, as strerror's do on Linux.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                                message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(code) : message;
}

Utf8Arguments::Utf8Arguments(int argc, wchar_t **argv) {
    words_.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) words_.push_back(Narrow(argv[i]));
    for (std::string &word : words_) pointers_.push_back(word.data());
    pointers_.push_back(nullptr);
}

}  // namespace pelmar_tools
