// PagingFiles' lines as pelmar-install edits them (see paging_files.h).
#include "tools/pelmar-install/paging_files.h"

#include "tools/basics/ascii_case.h"

namespace pelmar_tools {
namespace {

// A PagingFiles line's file: its first word.
std::u16string PagingFileOf(const std::u16string &line) { return AsciiLower(line.substr(0, line.find(u' '))); }

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
        if (PagingFileOf(l) != PagingFileOf(line)) kept.push_back(l);
    return kept.size() == MultiStringLines(value).size() ? value : ListOf(kept);
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
