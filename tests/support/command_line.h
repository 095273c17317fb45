// The arguments part of a Windows command line, for test programs that pass
// it on or record it as received.
#pragma once

#include "common/text.h"

namespace testsupport {

// The command line after the program name, as given: the name is quoted or
// ends at the first blank, as the C runtime reads it. The blanks that follow
// the name are kept (a caller that appends this to another name keeps the
// separation).
inline WString ArgumentsAfterProgram(const WString& line) {
    std::size_t i = 0;
    if (!line.empty() && line[0] == L'"') {
        const std::size_t close = line.find(L'"', 1);
        i = close == WString::npos ? line.size() : close + 1;
    } else {
        while (i < line.size() && line[i] != L' ' && line[i] != L'\t') ++i;
    }
    return line.substr(i);
}

// The same without the blanks that separate it from the name.
inline WString ArgumentText(const WString& line) {
    const WString rest = ArgumentsAfterProgram(line);
    const std::size_t first = rest.find_first_not_of(L" \t");
    return first == WString::npos ? WString() : rest.substr(first);
}

}  // namespace testsupport
