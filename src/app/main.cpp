// Process entry: one executable, three roles. "--worker" or "--loader" as the
// first argument selects a short-lived bridge mode; anything else is the
// operator's tool with its window.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "app/win_main_window.h"
#include "common/executable_path.h"
#include "common/win_unique.h"
#include "m2control/bridge.h"

namespace {

bool IsBridgeSwitch(const wchar_t* argument) {
    return std::wcscmp(argument, L"--worker") == 0 || std::wcscmp(argument, L"--loader") == 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // Before anything loads a library: only System32 is searched from here on,
    // never the program's own folder, which a user may be able to write.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Whatever folder we were started from, nothing is looked up there.
    EnterProgramFolder();
    int argc = 0;
    LPWSTR* const argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const UniqueLocalMemory argvMemory(argv);
    if (argv && argc >= 2 && IsBridgeSwitch(argv[1])) return RunBridgeMode(argc, argv);
    return RunToolRole(instance);
}
