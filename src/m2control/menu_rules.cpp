// The label rules of the two menu searches (menu_rules.h).
#include "m2control/menu_rules.h"

#include "common/path_text.h"
#include "m2control/m2_rules.h"

namespace {

bool Contains(const WString& text, const WString& part) {
    return part.size() <= text.size() && text.find(part) != WString::npos;
}

}  // namespace

WString NormaliseLenientLabel(const WString& label) {
    WString bare;
    bare.reserve(label.size());
    for (WChar c : label) {
        if (c != WChar('&')) bare.push_back(c);
    }
    return UpperAsciiText(TrimBlanks(bare));
}

bool StrictLabelMatches(const WString& label, const WString& commandText) {
    if (commandText.empty()) return false;
    return Contains(UpperAsciiText(label), UpperAsciiText(commandText));
}

bool LenientLabelMatches(const WString& label, const WString& commandText) {
    if (commandText.empty()) return false;
    const WString bare = NormaliseLenientLabel(label);
    if (bare.empty()) return false;
    const WString target = UpperAsciiText(commandText);
    return bare == target || Contains(bare, target) || Contains(target, bare);
}
