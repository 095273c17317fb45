// What version discovery decides without touching the disk: which folders the
// walk leaves alone, how a found path is normalised, when a path counts as
// already listed, the game name inside a Config.ini text, and the log texts.
// Portable: the Windows scan (version_discovery.h) is built on these, and the
// host build tests them under the sanitizers.
#pragma once

#include <cstddef>
#include <vector>

#include "common/text.h"

// The walk tests and lists folders 1 to this many levels below a drive root.
inline constexpr int kVersionWalkMaxDepth = 4;

// Tested first on every drive, then listed with this pattern beside it.
inline constexpr WChar kMirServerFolderName[] = WTEXT("MirServer");
inline constexpr WChar kMirServerPattern[] = WTEXT("MirServer*");

// True when the walk must neither test nor enter the folder: an empty last
// component, a name beginning with "$", or one of the system folders
// (Windows, Program Files, Users, ...) under the case rule.
bool IsExcludedFolder(const WString& path);

// Every run of backslashes becomes one; "/" is left alone.
WString CollapseBackslashRuns(const WString& path);

// Appends `path` unless the list already holds it under the case rule, so
// the first finding keeps its place. True when appended.
[[nodiscard]] bool AppendVersionIfNew(std::vector<WString>& list, const WString& path);

// The value of the first "GameName = value" line (key under the case rule,
// blanks around both parts ignored) whose value is not empty. Lines end at
// every CR and every LF; sections play no part; lines that begin with ";" or
// "#" are comments. Empty when no line qualifies.
WString ParseGameName(const WString& configText);

// The log lines of a scan.
WString VersionFoundLogText(const WString& path);
WString ScanFinishedLogText(std::size_t count);
WString DriveFailedLogText(const WString& root);
