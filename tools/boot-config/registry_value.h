// A registry value as both Windows programs hold it: absent, or its type and
// bytes, with the forms the boot configuration stores in it: a list of lines
// (REG_MULTI_SZ), a number (REG_DWORD), and the packed record of a value
// that was replaced, kept so that it can be given back byte for byte. The
// value itself is plain data, so that the service's decisions can be tested
// away from Windows; the reads and writes are in registry_win32.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelmar_tools {

struct RegistryValue {
    bool present = false;
    uint32_t type = 0;
    std::vector<uint8_t> data;
    bool operator==(const RegistryValue &) const = default;
};

// The value types the boot configuration meets (winnt.h's numbers).
inline constexpr uint32_t kRegSz = 1, kRegExpandSz = 2, kRegBinary = 3, kRegDword = 4, kRegMultiSz = 7;

// A list value's code units (its bytes read as little-endian UTF-16).
using MultiString = std::u16string;

// The value's bytes as code units (an odd last byte left out), and back.
MultiString AsMultiString(const std::vector<uint8_t> &data);
std::vector<uint8_t> AsBytes(const MultiString &text);
RegistryValue MultiStringValue(const MultiString &text);

// The lines of a list, in order: every string before the empty one that
// ends the list (or before the end of the data).
std::vector<std::u16string> MultiStringLines(const MultiString &value);

RegistryValue DwordValue(uint32_t n);
// The number a REG_DWORD holds; nothing for any other value.
std::optional<uint32_t> DwordOf(const RegistryValue &value);

// A REG_SZ of `text`, with its terminator.
RegistryValue StringValue(const std::u16string &text);
// A string value's text (REG_SZ or REG_EXPAND_SZ), up to its terminator.
std::u16string StringOf(const RegistryValue &value);

// The record of a replaced value, stored as REG_BINARY: whether it was there
// (one byte), its type (four bytes, little-endian), its bytes.
RegistryValue Packed(const RegistryValue &value);
// The value a record holds; nothing when it is no such record.
std::optional<RegistryValue> Unpacked(const RegistryValue &packed);

}  // namespace pelmar_tools
