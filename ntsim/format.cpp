// Formatted text by the native library's conventions, which are not the
// host C library's:
//  - in a wide format %s and %ls take a wide string and %S and %hs a narrow
//    one; in a narrow format %s and %hs are narrow, %S and %ls wide;
//  - %d, %ld, %u, %x take 32-bit values (long is 32 bits there); %lld,
//    %I64d and %Id (pointer size) take 64 bits;
//  - %Z takes a counted ANSI string, %wZ a counted wide one;
//  - _vsnwprintf returns a negative value when the text does not fit, and
//    leaves a text that exactly fills the buffer unterminated.
#include "ntsim/format.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ntsim/call.h"
#include "ntsim/ntsim.h"
#include "ntsim/strings.h"

namespace ntsim {
namespace {

enum class Size { Default, Short, Char, Long, LongLong, Pointer };

template <class CharT>
struct Cursor {
    const CharT *p;
    char16_t peek() const { return static_cast<char16_t>(static_cast<std::make_unsigned_t<CharT>>(*p)); }
};

void PadInto(std::u16string &out, const std::u16string &body, int width, bool left, char16_t fill = u' ') {
    int pad = width > static_cast<int>(body.size()) ? width - static_cast<int>(body.size()) : 0;
    if (!left) out.append(pad, fill);
    out += body;
    if (left) out.append(pad, u' ');
}

std::u16string Ascii(const char *text) {
    std::u16string out;
    while (*text) out += static_cast<char16_t>(static_cast<unsigned char>(*text++));
    return out;
}

template <class CharT>
std::u16string Format(const CharT *format, va_list args, bool wideFormat) {
    std::u16string out;
    if (!format) return out;
    va_list ap;
    va_copy(ap, args);
    Cursor<CharT> c{format};
    while (c.peek()) {
        char16_t ch = c.peek();
        if (ch != u'%') {
            out += wideFormat ? ch : Cp1252ToUtf16(static_cast<uint8_t>(ch));
            ++c.p;
            continue;
        }
        ++c.p;
        if (c.peek() == u'%') {
            out += u'%';
            ++c.p;
            continue;
        }
        bool left = false, plus = false, space = false, alt = false, zero = false;
        for (;; ++c.p) {
            char16_t f = c.peek();
            if (f == u'-') left = true;
            else if (f == u'+') plus = true;
            else if (f == u' ') space = true;
            else if (f == u'#') alt = true;
            else if (f == u'0') zero = true;
            else break;
        }
        int width = 0;
        if (c.peek() == u'*') {
            width = va_arg(ap, int);
            if (width < 0) {
                left = true;
                width = -width;
            }
            ++c.p;
        } else {
            while (c.peek() >= u'0' && c.peek() <= u'9') width = width * 10 + (c.peek() - u'0'), ++c.p;
        }
        int precision = -1;
        if (c.peek() == u'.') {
            ++c.p;
            precision = 0;
            if (c.peek() == u'*') {
                precision = va_arg(ap, int);
                ++c.p;
            } else {
                while (c.peek() >= u'0' && c.peek() <= u'9') precision = precision * 10 + (c.peek() - u'0'), ++c.p;
            }
        }
        Size size = Size::Default;
        bool wideFlag = false, narrowFlag = false;
        char16_t m = c.peek();
        if (m == u'h') {
            ++c.p;
            narrowFlag = true;
            size = Size::Short;
            if (c.peek() == u'h') ++c.p, size = Size::Char;
        } else if (m == u'l') {
            ++c.p;
            wideFlag = true;
            size = Size::Long;
            if (c.peek() == u'l') ++c.p, size = Size::LongLong;
        } else if (m == u'w') {
            ++c.p;
            wideFlag = true;
        } else if (m == u'I') {
            if (c.p[1] == '6' && c.p[2] == '4') c.p += 3, size = Size::LongLong;
            else if (c.p[1] == '3' && c.p[2] == '2') c.p += 3, size = Size::Default;
            else ++c.p, size = Size::Pointer;
        } else if (m == u'z') {
            ++c.p;
            size = Size::Pointer;
        }
        char16_t conv = c.peek();
        if (!conv) break;
        ++c.p;
        switch (conv) {
            case u'd':
            case u'i':
            case u'u':
            case u'x':
            case u'X':
            case u'o': {
                bool isSigned = conv == u'd' || conv == u'i';
                uint64_t magnitude;
                bool negative = false;
                if (size == Size::LongLong || size == Size::Pointer) {
                    int64_t v = va_arg(ap, int64_t);
                    negative = isSigned && v < 0;
                    magnitude = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
                } else {
                    int32_t v = va_arg(ap, int32_t);
                    if (size == Size::Short) v = isSigned ? static_cast<int16_t>(v) : static_cast<uint16_t>(v);
                    if (size == Size::Char) v = isSigned ? static_cast<int8_t>(v) : static_cast<uint8_t>(v);
                    negative = isSigned && v < 0;
                    magnitude = negative ? 0 - static_cast<uint64_t>(static_cast<int64_t>(v))
                                         : static_cast<uint64_t>(static_cast<uint32_t>(v));
                }
                unsigned base = (conv == u'x' || conv == u'X') ? 16 : conv == u'o' ? 8 : 10;
                const char *digits = conv == u'X' ? "0123456789ABCDEF" : "0123456789abcdef";
                std::u16string number;
                do {
                    number.insert(number.begin(), static_cast<char16_t>(digits[magnitude % base]));
                    magnitude /= base;
                } while (magnitude);
                if (precision == 0 && number == u"0") number.clear();
                while (precision > 0 && static_cast<int>(number.size()) < precision) number.insert(0, 1, u'0');
                std::u16string prefix;
                if (negative) prefix = u"-";
                else if (isSigned && plus) prefix = u"+";
                else if (isSigned && space) prefix = u" ";
                if (alt && base == 16 && !number.empty()) prefix += conv == u'X' ? u"0X" : u"0x";
                if (alt && base == 8) prefix += u"0";
                if (zero && !left && precision < 0) {
                    while (static_cast<int>(prefix.size() + number.size()) < width) number.insert(0, 1, u'0');
                }
                PadInto(out, prefix + number, width, left);
                break;
            }
            case u'p': {
                void *v = va_arg(ap, void *);
                char text[32];
                snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(v)));
                PadInto(out, Ascii(text), width, left);
                break;
            }
            case u'c':
            case u'C': {
                int v = va_arg(ap, int);
                bool wide = conv == u'c' ? (wideFormat ? !narrowFlag : wideFlag) : (wideFormat ? wideFlag : !narrowFlag);
                char16_t ch16 = wide ? static_cast<char16_t>(v) : Cp1252ToUtf16(static_cast<uint8_t>(v));
                PadInto(out, std::u16string(1, ch16), width, left);
                break;
            }
            case u's':
            case u'S': {
                bool wide;
                if (conv == u's') wide = wideFormat ? !narrowFlag : wideFlag;
                else wide = wideFormat ? wideFlag : !narrowFlag;
                std::u16string body;
                if (wide) {
                    const char16_t *s = va_arg(ap, const char16_t *);
                    if (!s) s = u"(null)";
                    for (int n = 0; s[n] && (precision < 0 || n < precision); ++n) body += s[n];
                } else {
                    const char *s = va_arg(ap, const char *);
                    if (!s) s = "(null)";
                    for (int n = 0; s[n] && (precision < 0 || n < precision); ++n)
                        body += Cp1252ToUtf16(static_cast<uint8_t>(s[n]));
                }
                PadInto(out, body, width, left);
                break;
            }
            case u'Z': {
                std::u16string body;
                if (wideFlag) {
                    auto *s = va_arg(ap, const UNICODE_STRING *);
                    if (s && s->Buffer) body.assign(s->Buffer, s->Length / 2);
                    else body = u"(null)";
                } else {
                    auto *s = va_arg(ap, const ANSI_STRING *);
                    if (s && s->Buffer) body = AnsiToUtf16(std::string_view(s->Buffer, s->Length));
                    else body = u"(null)";
                }
                PadInto(out, body, width, left);
                break;
            }
            case u'e':
            case u'E':
            case u'f':
            case u'g':
            case u'G':
            case u'a':
            case u'A': {
                double v = va_arg(ap, double);
                char conversion[32];
                snprintf(conversion, sizeof conversion, "%%%s%s%s%s%s*.*%c", left ? "-" : "", plus ? "+" : "", space ? " " : "",
                         alt ? "#" : "", zero ? "0" : "", static_cast<char>(conv));
                char text[512];
                snprintf(text, sizeof text, conversion, width, precision < 0 ? 6 : precision, v);
                out += Ascii(text);
                break;
            }
            case u'n':
                // Writing through a format argument is refused.
                (void)va_arg(ap, void *);
                break;
            default:
                // An unknown conversion is shown as it stands.
                out += u'%';
                out += conv;
                break;
        }
    }
    va_end(ap);
    return out;
}

}  // namespace

std::u16string FormatWide(const char16_t *format, va_list args) { return Format(format, args, true); }
std::u16string FormatNarrow(const char *format, va_list args) { return Format(format, args, false); }

}  // namespace ntsim

extern "C" int NT_CDECL _vsnwprintf(WCHAR *buffer, size_t count, const WCHAR *format, va_list arguments) {
    ntsim::Call call("_vsnwprintf");
    call.ArgDec("count", static_cast<int64_t>(count));
    if (call.faulted()) {
        call.ReturnText("-1");
        return -1;
    }
    std::u16string text = ntsim::FormatWide(format, arguments);
    int result;
    if (text.size() < count) {
        std::memcpy(buffer, text.data(), text.size() * 2);
        buffer[text.size()] = 0;
        result = static_cast<int>(text.size());
    } else if (text.size() == count) {
        std::memcpy(buffer, text.data(), count * 2);  // exactly full: no terminator
        result = static_cast<int>(count);
    } else {
        if (count) std::memcpy(buffer, text.data(), count * 2);
        result = -1;
    }
    call.ReturnText(std::to_string(result));
    return result;
}
