// How a command text from the editor picks an item of the game server's menu.
// Portable: the two searches walk any menu through a small reader (the
// Windows half reads an HMENU, tests read a table), so their order and their
// label rules are tested on the host too.
//
// Strict search (same session): upper-cased label contains the upper-cased
// command text; "&" and blanks stay; an item's own label is tried before its
// submenu. Lenient search (worker in another session): "&" removed, blanks
// trimmed, then equality or containment either way; a submenu is tried before
// its item's own label.
//
// Neither search ever matches an empty command text, and the lenient one never
// matches an empty label (a separator, or only "&" and blanks): both would
// otherwise post whatever item came first.
#pragma once

#include "common/text.h"

// The identifier both searches give when nothing matches.
inline constexpr int kNoMenuCommand = -1;

// Label as the lenient search compares it: no "&", trimmed, upper-cased.
WString NormaliseLenientLabel(const WString& label);

// Strict rule over one label; false for an empty command text.
[[nodiscard]] bool StrictLabelMatches(const WString& label, const WString& commandText);
// Lenient rule over one label; false for an empty command text or a label that
// normalises to empty.
[[nodiscard]] bool LenientLabelMatches(const WString& label, const WString& commandText);

// A menu reader offers:
//   int Count() const;                       items, negative when unreadable
//   WString Label(int position) const;       empty for a separator
//   int Id(int position) const;              negative for an item opening a submenu
//   bool Submenu(int position, Reader& out) const;
template <typename Reader>
int FindMenuCommandIn(const Reader& menu, const WString& commandText) {
    const int count = menu.Count();
    for (int position = 0; position < count; ++position) {
        if (StrictLabelMatches(menu.Label(position), commandText)) {
            const int id = menu.Id(position);
            if (id >= 0) return id;
        }
        Reader submenu;
        if (menu.Submenu(position, submenu)) {
            const int id = FindMenuCommandIn(submenu, commandText);
            if (id >= 0) return id;
        }
    }
    return kNoMenuCommand;
}

template <typename Reader>
int FindMenuCommandLenientIn(const Reader& menu, const WString& commandText) {
    const int count = menu.Count();
    for (int position = 0; position < count; ++position) {
        Reader submenu;
        if (menu.Submenu(position, submenu)) {
            const int id = FindMenuCommandLenientIn(submenu, commandText);
            if (id >= 0) return id;
        }
        if (LenientLabelMatches(menu.Label(position), commandText)) {
            const int id = menu.Id(position);
            if (id >= 0) return id;
        }
    }
    return kNoMenuCommand;
}
