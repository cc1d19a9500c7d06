// The forms of a registry value (see registry_value.h).
#include "tools/boot-config/registry_value.h"

#include <cstring>

#include "tools/basics/little_endian.h"

namespace pelmar_tools {

MultiString AsMultiString(const std::vector<uint8_t> &data) {
    MultiString text(data.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(ReadLE(&data[2 * i], 2));
    return text;
}

std::vector<uint8_t> AsBytes(const MultiString &text) {
    std::vector<uint8_t> data;
    data.reserve(text.size() * 2);
    for (char16_t c : text) {
        data.push_back(static_cast<uint8_t>(c));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
    return data;
}

RegistryValue MultiStringValue(const MultiString &text) { return {true, kRegMultiSz, AsBytes(text)}; }

std::vector<std::u16string> MultiStringLines(const MultiString &value) {
    std::vector<std::u16string> out;
    size_t at = 0;
    while (at < value.size() && value[at] != 0) {
        size_t end = value.find(u'\0', at);
        if (end == MultiString::npos) end = value.size();
        out.push_back(value.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

RegistryValue DwordValue(uint32_t n) {
    RegistryValue value{true, kRegDword, {}};
    for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<uint8_t>(n >> (8 * i)));
    return value;
}

std::optional<uint32_t> DwordOf(const RegistryValue &value) {
    if (!value.present || value.type != kRegDword || value.data.size() != 4) return std::nullopt;
    return static_cast<uint32_t>(ReadLE(value.data.data(), 4));
}

RegistryValue StringValue(const std::u16string &text) { return {true, kRegSz, AsBytes(text + u'\0')}; }

std::u16string StringOf(const RegistryValue &value) {
    const MultiString text = AsMultiString(value.data);
    return text.substr(0, text.find(u'\0'));
}

RegistryValue Packed(const RegistryValue &value) {
    RegistryValue packed{true, kRegBinary, {static_cast<uint8_t>(value.present)}};
    for (int i = 0; i < 4; ++i) packed.data.push_back(static_cast<uint8_t>(value.type >> (8 * i)));
    packed.data.insert(packed.data.end(), value.data.begin(), value.data.end());
    return packed;
}

std::optional<RegistryValue> Unpacked(const RegistryValue &packed) {
    if (!packed.present || packed.data.size() < 5) return std::nullopt;
    return RegistryValue{packed.data[0] != 0, static_cast<uint32_t>(ReadLE(&packed.data[1], 4)),
                         {packed.data.begin() + 5, packed.data.end()}};
}

}  // namespace pelmar_tools
