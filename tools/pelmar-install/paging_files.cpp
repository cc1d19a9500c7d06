// PagingFiles' lines as pelmar-install edits them (see paging_files.h).
#include "tools/pelmar-install/paging_files.h"

#include "tools/basics/ascii_case.h"

namespace pelmar_tools {
namespace {

// A PagingFiles line's drive letter (lower case): its file's, as X:\... or
// \??\X:\...; 0 for a line of no drive ("?:\pagefile.sys", the system's
// choice).
char16_t PagingDriveOf(const std::u16string &line) {
    const size_t first = line.find_first_not_of(u' ');
    std::u16string file = first == std::u16string::npos ? std::u16string() : AsciiLower(line.substr(first));
    if (file.rfind(u"\\??\\", 0) == 0) file = file.substr(4);
    return file.size() >= 2 && file[1] == u':' && file[0] >= u'a' && file[0] <= u'z' ? file[0] : 0;
}

MultiString ListOf(const std::vector<std::u16string> &lines) {
    MultiString value;
    for (const std::u16string &l : lines) value += l + u'\0';
    return value + u'\0';
}

}  // namespace

MultiString WithPagingLine(const MultiString &value, const std::u16string &line) {
    std::vector<std::u16string> lines = MultiStringLines(WithoutPagingLine(value, line));
    lines.push_back(line);
    return ListOf(lines);
}

MultiString WithoutPagingLine(const MultiString &value, const std::u16string &line) {
    std::vector<std::u16string> kept;
    for (const std::u16string &l : MultiStringLines(value))
        if (AsciiLower(l) != AsciiLower(line)) kept.push_back(l);
    return kept.size() == MultiStringLines(value).size() ? value : ListOf(kept);
}

std::string ForeignPagingLineProblem(const MultiString &others, char16_t letter) {
    const char16_t drive = AsciiLower(std::u16string(1, letter))[0];
    for (const std::u16string &l : MultiStringLines(others)) {
        if (PagingDriveOf(l) != drive) continue;
        std::string shown;
        for (char16_t c : l) shown += c < 0x80 ? static_cast<char>(c) : '?';
        return "--pagefile: PagingFiles already has a paging file on " + std::string(1, static_cast<char>(letter)) +
               ": that pelmar-install did not write (" + shown + "), which Pelmar's would replace; take that line " +
               "out first (System Properties, Performance, Virtual memory) or give Pelmar another drive letter";
    }
    return {};
}

bool ParsePagingSizes(const std::string &text, uint64_t &least, uint64_t &most) {
    const size_t dash = text.find('-');
    auto number = [](const std::string &digits, uint64_t &n) {
        if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        n = std::stoull(digits);
        return true;
    };
    return dash != std::string::npos && number(text.substr(0, dash), least) && number(text.substr(dash + 1), most) &&
           least >= 1 && least <= most;
}

}  // namespace pelmar_tools
