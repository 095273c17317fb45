// tz_run_unelevated PROGRAM: starts PROGRAM, from an elevated cmd, as the same
// user without administrator rights, as a double click starts it: the
// Administrators group only denies, the privileges a standard user lacks are
// gone, and the integrity level is medium, so that window messages to an
// elevated program are held back by the system as they are for an unelevated
// tool. The program starts in its own folder; this one does not wait for it.
// Prints the new process id. Exit code 0 when started, 1 when not.
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/text.h"
#include "common/win_unique.h"

namespace {

int Fail(const char* step) {
    std::printf("tz_run_unelevated: %s failed, error %lu\n", step, GetLastError());
    return 1;
}

bool WellKnownSid(WELL_KNOWN_SID_TYPE type, BYTE (&sid)[SECURITY_MAX_SID_SIZE]) {
    DWORD size = sizeof(sid);
    return CreateWellKnownSid(type, nullptr, sid, &size) != FALSE;
}

// This process's token with Administrators for denying only, without the
// extra privileges, at medium integrity.
bool StandardUserToken(UniqueHandle& token) {
    UniqueHandle own;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, own.put())) {
        return false;
    }
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    BYTE medium[SECURITY_MAX_SID_SIZE];
    if (!WellKnownSid(WinBuiltinAdministratorsSid, administrators) || !WellKnownSid(WinMediumLabelSid, medium)) {
        return false;
    }
    SID_AND_ATTRIBUTES denyOnly{administrators, 0};
    if (!CreateRestrictedToken(own.get(), DISABLE_MAX_PRIVILEGE, 1, &denyOnly, 0, nullptr, 0, nullptr, token.put())) {
        return false;
    }
    TOKEN_MANDATORY_LABEL label{};
    label.Label.Sid = medium;
    label.Label.Attributes = SE_GROUP_INTEGRITY;
    return SetTokenInformation(token.get(), TokenIntegrityLevel, &label,
                               sizeof(label) + GetLengthSid(medium)) != FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::printf("usage: tz_run_unelevated PROGRAM\n");
        return 1;
    }
    const WString program = argv[1];
    const WString folder = program.substr(0, program.find_last_of(L'\\'));
    UniqueHandle token;
    if (!StandardUserToken(token)) return Fail("making the standard user's token");
    WString line = L"\"" + program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    if (!CreateProcessAsUserW(token.get(), program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              folder.c_str(), &startup, &started)) {
        return Fail("starting the program");
    }
    const UniqueHandle thread(started.hThread);
    const UniqueHandle process(started.hProcess);
    std::printf("%lu\n", started.dwProcessId);
    return 0;
}
