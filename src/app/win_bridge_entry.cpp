// The bridge modes are not part of this build yet: every bridge command line
// is answered as an unknown mode, on standard error, with exit code 1.
#include "app/win_bridge_entry.h"

#include <cstdio>
#include <string>

#include "common/text.h"

int RunBridgeMode(int argc, wchar_t** argv) {
    std::string mode = argc > 1 ? WideToUtf8(argv[1]) : std::string();
    std::string line = argc > 1 ? "ERROR|未知模式: " + mode : "ERROR|参数不足";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    return 1;
}
