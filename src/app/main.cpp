// Process entry: one executable, three roles. "--worker" or "--loader" as the
// first argument selects a short-lived bridge mode; anything else is the
// operator's tool with its window.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "app/win_main_window.h"
#include "m2control/bridge.h"

namespace {

struct ArgvOwner {
    LPWSTR* argv = nullptr;
    ~ArgvOwner() {
        if (argv) LocalFree(argv);
    }
};

bool IsBridgeSwitch(const wchar_t* argument) {
    return std::wcscmp(argument, L"--worker") == 0 || std::wcscmp(argument, L"--loader") == 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // Before anything loads a library: only System32 is searched from here on,
    // never the program's own folder, which a user may be able to write.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    int argc = 0;
    ArgvOwner args;
    args.argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (args.argv && argc >= 2 && IsBridgeSwitch(args.argv[1])) return RunBridgeMode(argc, args.argv);
    return RunToolRole(instance);
}
