// Formatting by the native library's conventions (see format.cpp).
#pragma once

#include <cstdarg>
#include <string>

namespace ntsim {

std::u16string FormatWide(const char16_t *format, va_list args);
std::u16string FormatNarrow(const char *format, va_list args);

}  // namespace ntsim
