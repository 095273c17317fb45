// The path text functions and path rules on arbitrary UTF-16 text: no crash,
// and the invariants the endpoints rely on.
#include <string>

#include "fuzz_common.h"
#include "gamedirs/path_rules.h"
#include "common/path_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WString text;
    for (std::size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<WChar>(data[i] | (data[i + 1] << 8)));
    std::size_t split = text.empty() ? 0 : text[0] % (text.size() + 1);
    WString root = text.substr(0, split);
    WString rest = text.substr(split);

    WString stripped = StripTrailingSeparators(text);
    FUZZ_CHECK(StripTrailingSeparators(stripped) == stripped || stripped.size() <= 3);
    WString last = LastPathComponent(text);
    for (WChar c : last) FUZZ_CHECK(!IsPathSeparator(c));
    WString trimmed = TrimBlanks(text);
    FUZZ_CHECK(TrimBlanks(trimmed) == trimmed);
    FUZZ_CHECK(EqualsIgnoreCase(text, text));

    (void)IsAcceptableRelativePath(rest);
    (void)IsValidVersionFullPath(text);
    (void)IsAllowedFileType(text);
    (void)IsProtectedFileName(last);
    WString below = PathBelowRoot(root, rest);
    if (!below.empty()) FUZZ_CHECK(IsWithinRoot(root, rest));
    (void)RelativeFolderBelowRoot(root, rest);
    (void)IsServablePathBelowRoot(below);
    (void)FileExtension(text);
    (void)DrivePrefix(text);
    return 0;
}
