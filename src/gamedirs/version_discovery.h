// Finding the game-server installations (versions) on this machine's fixed
// drives, and reading a version's display name from its Config.ini.
//
// A version is a folder holding the file Config.ini and the folder
// Mir200\Envir. On each drive root the scan tests root\MirServer, then every
// root\MirServer* folder, then walks the tree to kVersionWalkMaxDepth levels,
// skipping the system folders (version_rules.h). The list keeps the order of
// discovery and never holds two paths equal under the case rule.
//
// The scan works on drive roots given explicitly, so tests can point it at
// fresh folders; FixedDriveRoots supplies the real ones.
#pragma once

#include <vector>

#include "common/log_sink.h"
#include "common/text.h"

// "A:\" to "Z:\" for each present drive whose type is DRIVE_FIXED, in letter
// order. Removable, network, optical and RAM drives are left out.
std::vector<WString> FixedDriveRoots();

// The versions below each root (each ending in "\"), roots in the given
// order. Reports every find ("找到: ...") to `log`. A failure while scanning
// one root (memory exhausted) abandons the rest of that root only, keeping
// what it found, and is reported ("扫描驱动器 ... 异常: ").
std::vector<WString> FindVersionDirectories(const std::vector<WString>& roots, const LogSink& log) noexcept;

// Appends `path`, with backslash runs collapsed, when it is a version and not
// yet listed, and reports it. Failures on disk just mean "not a version", and
// so does a junction or symbolic link anywhere the test looks: the scan
// never follows one.
void TryAddVersionDirectory(std::vector<WString>& list, const WString& path, const LogSink& log);

// Tests and enters every folder below `folder` that is not excluded, depth
// first in listing order; `depth` is the level of the folders listed there
// (1 below a drive root).
void WalkForVersions(std::vector<WString>& list, const WString& folder, int depth, const LogSink& log);

// The GameName value of versionPath\Config.ini decoded with the system's ANSI
// code page; empty when the file is missing, unreadable or names no game.
WString ReadGameName(const WString& versionPath) noexcept;
