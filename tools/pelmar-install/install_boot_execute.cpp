// Editing BootExecute's lines in place (see install_boot_execute.h).
#include "tools/pelmar-install/install_boot_execute.h"

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

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

// The first word, in lower case (ASCII letters only: the names compared are ASCII).
std::u16string FirstWord(const std::u16string &line) {
    size_t start = line.find_first_not_of(u" \t");
    if (start == std::u16string::npos) return {};
    size_t end = line.find_first_of(u" \t", start);
    std::u16string word = line.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
    for (char16_t &c : word) c = Lower(c);
    return word;
}

}  // namespace

std::vector<std::u16string> MultiStringLines(const MultiString &value) {
    std::vector<std::u16string> out;
    for (const Line &l : Lines(value)) out.push_back(value.substr(l.start, l.end - l.start));
    return out;
}

bool IsPelmarLine(const std::u16string &line) {
    // The program is the first word, or the second after "autocheck"; the
    // Session Manager takes it with or without a folder before it.
    std::u16string word = FirstWord(line);
    if (word == u"autocheck") {
        size_t at = line.find_first_of(u" \t", line.find_first_not_of(u" \t"));  // after "autocheck"
        const size_t next = at == std::u16string::npos ? at : line.find_first_not_of(u" \t", at);
        word = next == std::u16string::npos ? std::u16string() : FirstWord(line.substr(next));
    }
    word = word.substr(word.find_last_of(u'\\') + 1);
    return word == u"pelmar" || word == u"pelmar.exe";
}

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

}  // namespace pelmar_tools
