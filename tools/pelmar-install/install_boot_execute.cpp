// Editing BootExecute's lines in place (see install_boot_execute.h).
#include "tools/pelmar-install/install_boot_execute.h"

#include "tools/basics/ascii_case.h"

namespace pelmar_tools {

namespace {

struct Line {
    size_t start, end;  // [start, end): the line's code units; end is its NUL (or the data's end)
};

std::vector<Line> Lines(const MultiString &value) {
    std::vector<Line> lines;
    size_t at = 0;
    while (at < value.size() && value[at] != 0) {
        size_t end = value.find(u'\0', at);
        if (end == MultiString::npos) end = value.size();
        lines.push_back({at, end});
        at = end + 1;
    }
    return lines;
}

// The first word, in lower case (ASCII letters only: the names compared are ASCII).
std::u16string FirstWord(const std::u16string &line) {
    size_t start = line.find_first_not_of(u" \t");
    if (start == std::u16string::npos) return {};
    size_t end = line.find_first_of(u" \t", start);
    return AsciiLower(line.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start));
}

}  // namespace

MultiString WithoutPelmar(const MultiString &value) {
    MultiString out = value;
    std::vector<Line> lines = Lines(value);
    // From the last line back, so the earlier positions stay valid.
    for (size_t i = lines.size(); i-- > 0;) {
        const Line &l = lines[i];
        if (!IsPelmarLine(value.substr(l.start, l.end - l.start))) continue;
        // The line and its NUL; an unterminated last line takes the NUL
        // before it instead, so the line before stays the last one.
        if (l.end < value.size()) {
            out.erase(l.start, l.end + 1 - l.start);
        } else {
            size_t from = l.start > 0 ? l.start - 1 : 0;
            out.erase(from, l.end - from);
        }
    }
    return out;
}

MultiString WithPelmar(const MultiString &value, const std::u16string &line) {
    MultiString out = WithoutPelmar(value);
    size_t at = 0;
    for (const Line &l : Lines(out)) {
        if (FirstWord(out.substr(l.start, l.end - l.start)) == u"autocheck") at = l.end + 1;
    }
    if (at > out.size()) {
        // The disk check was the last line and had no NUL of its own.
        out.push_back(u'\0');
        at = out.size();
    }
    MultiString inserted = line;
    inserted.push_back(u'\0');
    const bool hadLines = !Lines(out).empty();
    out.insert(at, inserted);
    // A list needs the empty string that ends it; a value that held no line
    // had none to keep.
    if (!hadLines && (out.size() == inserted.size() || out[inserted.size()] != u'\0')) out.push_back(u'\0');
    return out;
}

bool BootExecuteText(const RegistryValue &value, MultiString &text, std::string &why) {
    if (!value.present) {
        text.clear();
        return true;
    }
    if (value.type != kRegMultiSz || value.data.size() % 2 != 0) {
        why = "BootExecute is not a list of lines (REG_MULTI_SZ) here; it is left to be put right by hand";
        return false;
    }
    text = AsMultiString(value.data);
    return true;
}

}  // namespace pelmar_tools
