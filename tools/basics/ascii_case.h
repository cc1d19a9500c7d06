// Letter case as the tools compare names: only the ASCII letters fold, as
// the names compared (program names, drive letters, file-system kinds, a
// folder's parts) are ASCII, and anything beyond is compared exactly.
#pragma once

#include <string>

namespace pelmar_tools {

// `text` with A to Z as a to z; every other code unit as it was.
template <class Text>
Text AsciiLower(Text text) {
    for (auto &c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<typename Text::value_type>(c - 'A' + 'a');
    return text;
}

}  // namespace pelmar_tools
