// tzsetup: prepares a copy of the tool for a first run, through the tool's own
// settings code: stores the key (protected for this Windows account) and the
// port beside the executable, and registers the copy for autostart so that
// its service comes up by itself.
//
//   tzsetup EXE_PATH PORT KEY
#include <windows.h>

#include <cstdio>

#include "app/settings.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fputs("usage: tzsetup EXE_PATH PORT KEY\n", stderr);
        return 2;
    }
    const WString exe = argv[1];
    const WString base = SettingsBasePath(exe);
    if (!SaveKeyAt(base, argv[3]) || !SavePortAt(base, argv[2]) || !SetAutostartFor(exe, true)) {
        std::fputs("tzsetup: could not store the settings\n", stderr);
        return 1;
    }
    return 0;
}
