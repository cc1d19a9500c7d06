// Counted strings, the ANSI code page (Windows-1252) and the native
// library's character and number functions.
#include "ntsim/strings.h"

#include <locale.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <set>

#include "ntsim/call.h"
#include "ntsim/ntsim.h"
#include "ntsim/secret_scan.h"

namespace ntsim {
namespace {

// Windows-1252 bytes 0x80 to 0x9F; the five unassigned bytes map to the C1
// control of the same value, as the native conversion does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// What the native conversion writes for characters the code page lacks: a
// look-alike where the code page's table names one (Ā as A, ł as l, the
// full-width Ａ as A), else the default character.
struct BestFit {
    char16_t unit;
    uint8_t byte;
};
constexpr BestFit kCp1252BestFits[] = {
#include "ntsim/cp1252_bestfit.inc"
};

// Strings the conversions allocated, released again by RtlFreeAnsiString.
struct ConversionAllocations {
    std::map<void *, std::unique_ptr<uint8_t[]>> blocks;
    std::map<void *, size_t> sizes;  // beside blocks, for the secret scan
};

ConversionAllocations &Allocations() { return Machine::Get().Extension<ConversionAllocations>("conversions"); }

void *AllocateConversion(size_t bytes) {
    auto block = std::make_unique<uint8_t[]>(bytes);
    void *address = block.get();
    Allocations().blocks.emplace(address, std::move(block));
    Allocations().sizes[address] = bytes;
    return address;
}

locale_t Utf8Locale() {
    static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return locale;
}

}  // namespace

void AppendConversionRegions(std::vector<MemoryRegion> &out) {
    for (const auto &[address, block] : Allocations().blocks)
        out.push_back({"converted string " + HandleText(address), block.get(), Allocations().sizes[address]});
}

char16_t Cp1252ToUtf16(uint8_t byte) {
    if (byte >= 0x80 && byte < 0xA0) return kCp1252High[byte - 0x80];
    return byte;
}

uint8_t Utf16ToCp1252(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<uint8_t>(c);
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] == c) return static_cast<uint8_t>(0x80 + i);
    const BestFit *fit =
        std::lower_bound(std::begin(kCp1252BestFits), std::end(kCp1252BestFits), c,
                         [](const BestFit &entry, char16_t unit) { return entry.unit < unit; });
    if (fit != std::end(kCp1252BestFits) && fit->unit == c) return fit->byte;
    return '?';  // the default character, where not even a look-alike exists
}

std::u16string AnsiToUtf16(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (unsigned char b : bytes) out += Cp1252ToUtf16(b);
    return out;
}

std::string Utf16ToAnsi(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) out += static_cast<char>(Utf16ToCp1252(c));
    return out;
}

}  // namespace ntsim

using ntsim::Call;

extern "C" {

void NTAPI RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    Call call("RtlInitUnicodeString");
    call.Arg("source", source);
    size_t chars = 0;
    if (source)
        while (source[chars]) ++chars;
    if (chars > 0x7FFE) chars = 0x7FFE;  // a counted string holds at most 65,532 bytes
    if (destination) {
        destination->Buffer = const_cast<PWSTR>(source);
        destination->Length = static_cast<USHORT>(chars * 2);
        destination->MaximumLength = source ? static_cast<USHORT>(chars * 2 + 2) : 0;
    }
    call.ReturnVoid();
}

void NTAPI RtlInitAnsiString(PANSI_STRING destination, PCSTR source) {
    Call call("RtlInitAnsiString");
    call.Arg("source", source ? ntsim::QuoteUtf16(ntsim::AnsiToUtf16(source)) : std::string("null"));
    size_t chars = source ? std::strlen(source) : 0;
    if (chars > 0xFFFE) chars = 0xFFFE;
    if (destination) {
        destination->Buffer = const_cast<PSTR>(source);
        destination->Length = static_cast<USHORT>(chars);
        destination->MaximumLength = source ? static_cast<USHORT>(chars + 1) : 0;
    }
    call.ReturnVoid();
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source,
                                            BOOLEAN allocateDestination) {
    Call call("RtlUnicodeStringToAnsiString");
    if (!destination || !source) return call.Return(STATUS_INVALID_PARAMETER);
    size_t chars = source->Length / 2;
    call.ArgWide("source", std::u16string_view(source->Buffer ? source->Buffer : u"", source->Buffer ? chars : 0))
        .ArgDec("allocate", allocateDestination);
    if (call.faulted()) return call.Return(call.faultStatus());
    if (chars + 1 > 0xFFFF) return call.Return(STATUS_INVALID_PARAMETER);
    std::string converted = ntsim::Utf16ToAnsi(std::u16string_view(source->Buffer, chars));
    if (allocateDestination) {
        auto *buffer = static_cast<char *>(ntsim::AllocateConversion(chars + 1));
        destination->Buffer = buffer;
        destination->MaximumLength = static_cast<USHORT>(chars + 1);
    } else if (destination->MaximumLength < chars + 1 || !destination->Buffer) {
        return call.Return(STATUS_BUFFER_OVERFLOW);
    }
    std::memcpy(destination->Buffer, converted.data(), chars);
    destination->Buffer[chars] = 0;
    destination->Length = static_cast<USHORT>(chars);
    return call.Return(STATUS_SUCCESS);
}

void NTAPI RtlFreeAnsiString(PANSI_STRING string) {
    Call call("RtlFreeAnsiString");
    if (string && string->Buffer) {
        auto &blocks = ntsim::Allocations().blocks;
        auto it = blocks.find(string->Buffer);
        if (it == blocks.end()) {
            call.Note("not allocated by a conversion");
        } else {
            ntsim::Allocations().sizes.erase(it->first);
            blocks.erase(it);
        }
        string->Buffer = nullptr;
        string->Length = string->MaximumLength = 0;
    }
    call.ReturnVoid();
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source,
                                            BOOLEAN allocateDestination) {
    Call call("RtlAnsiStringToUnicodeString");
    if (!destination || !source) return call.Return(STATUS_INVALID_PARAMETER);
    size_t chars = source->Length;
    std::u16string converted = ntsim::AnsiToUtf16(std::string_view(source->Buffer ? source->Buffer : "",
                                                                    source->Buffer ? chars : 0));
    call.ArgWide("source", converted).ArgDec("allocate", allocateDestination);
    if (call.faulted()) return call.Return(call.faultStatus());
    if ((chars + 1) * 2 > 0xFFFF) return call.Return(STATUS_INVALID_PARAMETER_2);
    if (allocateDestination) {
        auto *buffer = static_cast<char16_t *>(ntsim::AllocateConversion((chars + 1) * 2));
        destination->Buffer = buffer;
        destination->MaximumLength = static_cast<USHORT>((chars + 1) * 2);
    } else if (destination->MaximumLength < chars * 2 || !destination->Buffer) {
        return call.Return(STATUS_BUFFER_OVERFLOW);
    }
    std::memcpy(destination->Buffer, converted.data(), chars * 2);
    if (destination->MaximumLength >= (chars + 1) * 2) destination->Buffer[chars] = 0;
    destination->Length = static_cast<USHORT>(chars * 2);
    return call.Return(STATUS_SUCCESS);
}

// The character functions of the native library know the C locale's
// letters only for the narrow forms, and Unicode's for the wide ones.
int ntsim_tolower(int c) __asm__("ntsim_tolower");
int ntsim_tolower(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

int ntsim_toupper(int c) __asm__("ntsim_toupper");
int ntsim_toupper(int c) { return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c; }

// Decimal text to a 32-bit value: leading white space, an optional sign,
// digits; a value beyond the 32-bit range saturates, as strtol does.
int ntsim_atoi(const char *text) __asm__("ntsim_atoi");
int ntsim_atoi(const char *text) {
    if (!text) return 0;
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    int64_t value = 0;
    while (*text >= '0' && *text <= '9') {
        value = value * 10 + (*text++ - '0');
        if (value > 0x80000000LL) value = 0x80000000LL;
    }
    if (negative) return static_cast<int>(-value);
    return value > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(value);
}

int ntsim_iswalpha(NT_WINT c) __asm__("ntsim_iswalpha");
int ntsim_iswalpha(NT_WINT c) {
    if (c > 0xFFFF) return 0;
    if (c < 0x80) return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    locale_t locale = ntsim::Utf8Locale();
    return locale ? (iswalpha_l(static_cast<wint_t>(c), locale) ? 0x103 : 0) : 0;
}

NT_WINT ntsim_towupper(NT_WINT c) __asm__("ntsim_towupper");
NT_WINT ntsim_towupper(NT_WINT c) {
    if (c > 0xFFFF) return c;
    if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c;
    locale_t locale = ntsim::Utf8Locale();
    if (!locale) return c;
    wint_t upper = towupper_l(static_cast<wint_t>(c), locale);
    return upper > 0xFFFF ? c : static_cast<NT_WINT>(upper);
}

}  // extern "C"
