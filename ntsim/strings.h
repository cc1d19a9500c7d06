// The machine's ANSI code page, Windows-1252.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ntsim {

char16_t Cp1252ToUtf16(uint8_t byte);
// A character the code page lacks becomes its best fit (from Wine's table of
// the code page, ntsim/cp1252_bestfit.inc), else '?'.
uint8_t Utf16ToCp1252(char16_t c);
std::u16string AnsiToUtf16(std::string_view bytes);
std::string Utf16ToAnsi(std::u16string_view text);

}  // namespace ntsim
