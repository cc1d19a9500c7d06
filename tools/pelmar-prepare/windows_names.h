// The rules Windows holds names and volume labels to, for pelmar-prepare:
// what it must refuse before it makes a volume, and when two names are one.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pelmar_tools {

// The UTF-16 units of UTF-8 text; false when the text is not UTF-8.
bool ToUtf16(const std::string &text, std::u16string &units);

// Windows' upcase table: one UTF-16 unit per unit, the simple uppercase
// mapping of Unicode. It is the table mkntfs writes to every NTFS volume it
// makes, and Windows compares FAT long names by the same rule.
const std::vector<uint16_t> &UpcaseTable();

// What Windows compares when it looks a name or a path up: every unit
// through the upcase table. Two texts are one name when their keys match.
std::u16string NameKey(const std::string &text);

// Empty when `name`, one component of a path, is a name Windows accepts for
// a file or folder; otherwise why not, in words that follow the name.
std::string NameRefusal(const std::string &name);

// Empty when `label` is a volume label Windows accepts on the file system;
// otherwise why not, in words that follow the label.
std::string LabelRefusal(const std::string &label, bool ntfs);

// Paths ("/A/B") as the volume will spell them: a folder or file named
// again in another case keeps the spelling it was first given, so that
// "/Temp" and then "/TEMP/Sub" make "/Temp/Sub", one folder, as on Windows.
class PathSpellings {
  public:
    std::string Spell(const std::string &path);

  private:
    std::map<std::u16string, std::string> spelled_;  // by NameKey of the path
};

}  // namespace pelmar_tools
