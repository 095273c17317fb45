// The version a program file states in its VERSIONINFO resource, which is
// where the build puts the program's version (tz_version_resource). The
// running program reports and compares its own; the update reads the one
// inside a downloaded package before handing it over.
#pragma once

#include "common/text.h"

// The file version of the program at `path` (FileVersionText form); empty
// when the file cannot be loaded as an image or has no VERSIONINFO.
WString ProgramFileVersion(const WString& path) noexcept;

// The running program's own version, read from its image once.
const WString& RunningProgramVersion() noexcept;
