// A stand-in for schtasks.exe, which Wine cannot use to create tasks. The test
// puts it in place of the system's copy in its own Wine prefix, where
// ShellExecuteExW finds it first.
//
// Every call appends its arguments, exactly as received (the command line
// after the program name, without the separating blank), as one UTF-8 line to
// the file named by the environment variable TZ_SCHTASKS_RECORD (which must be
// set; tasks are kept beside it), and its own path as one line to that name
// plus ".starts", so tests see which copy was run. Then it acts as the
// environment variable
// TZ_SCHTASKS_MODE says:
//   (unset) or "run"  /create keeps the task action in task_<name>.txt;
//                     /run starts that action as a new process, as the task
//                     scheduler would, and does not wait for it;
//                     /delete forgets the task; /query ends with 0 when
//                     the task is kept, 1 when not.
//   "answer:<text>"   /run writes <text> into the --resultfile named in the
//                     action's --request file (both in
//                     ALLUSERSPROFILE\TZBridge).
//   "silent"          /run does nothing (the tool times out).
//   "exit-create:<n>" /create records nothing and ends with exit code <n>,
//   "exit-run:<n>"    /run starts nothing and ends with exit code <n>, as
//                     schtasks does when it is refused (e.g. not elevated).
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>
#include <vector>

#include "common/text.h"
#include "common/win_unique.h"
#include "support/command_line.h"

namespace {

WString Variable(const wchar_t* name) {
    wchar_t buffer[4096];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 4096);
    return n > 0 && n < 4096 ? WString(buffer, n) : WString();
}

WString ArgumentText() { return testsupport::ArgumentText(GetCommandLineW()); }

std::vector<WString> Split(const WString& line) {
    std::vector<WString> args;
    int count = 0;
    // A leading program token keeps CommandLineToArgvW's first-argument rules
    // away from the text.
    const WString withProgram = L"x " + line;
    LPWSTR* argv = CommandLineToArgvW(withProgram.c_str(), &count);
    for (int i = 1; argv && i < count; ++i) args.emplace_back(argv[i]);
    if (argv) LocalFree(argv);
    return args;
}

void AppendFile(const WString& path, const std::string& bytes) {
    UniqueFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void WriteWholeFile(const WString& path, const std::string& bytes) {
    UniqueFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string ReadWholeFile(const WString& path) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes(65536, '\0');
    DWORD read = 0;
    if (!file || !ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) read = 0;
    bytes.resize(read);
    return bytes;
}

WString ValueAfter(const std::vector<WString>& args, const wchar_t* name) {
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == name) return args[i + 1];
    }
    return WString();
}


void RunTask(const WString& action) {
    const WString mode = Variable(L"TZ_SCHTASKS_MODE");
    if (mode == L"silent") return;
    if (mode.rfind(L"answer:", 0) == 0) {
        // The action names the request file in the work folder; the call in it
        // names the result file there, as the loader finds them.
        const WString folder = Variable(L"ALLUSERSPROFILE") + L"\\TZBridge\\";
        const WString requestName = ValueAfter(Split(action), L"--request");
        const WString request = requestName.empty() ? WString() : Utf8ToWide(ReadWholeFile(folder + requestName));
        const WString resultName = ValueAfter(Split(request), L"--resultfile");
        const WString resultFile = folder + resultName;
        if (!resultName.empty()) WriteWholeFile(resultFile, WideToUtf8(mode.substr(7)));
        return;
    }
    WString commandLine = action;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &started)) {
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    }
}

}  // namespace

int wmain() {
    const WString record = Variable(L"TZ_SCHTASKS_RECORD");
    if (record.empty()) return 1;
    const WString folder = record.substr(0, record.find_last_of(L"\\/"));
    const WString arguments = ArgumentText();
    AppendFile(record, WideToUtf8(arguments) + "\n");
    wchar_t self[MAX_PATH];
    const DWORD selfLength = GetModuleFileNameW(nullptr, self, MAX_PATH);
    AppendFile(record + L".starts", WideToUtf8(WString(self, selfLength)) + "\n");

    const std::vector<WString> args = Split(arguments);
    if (args.empty()) return 1;
    const WString taskFile = folder + L"\\task_" + ValueAfter(args, L"/tn") + L".txt";
    const WString mode = Variable(L"TZ_SCHTASKS_MODE");
    const WString failing = L"exit-" + args[0].substr(1) + L":";
    if (mode.rfind(failing, 0) == 0) return static_cast<int>(wcstoul(mode.c_str() + failing.size(), nullptr, 10));
    if (args[0] == L"/create") {
        WriteWholeFile(taskFile, WideToUtf8(ValueAfter(args, L"/tr")));
        return 0;
    }
    if (args[0] == L"/run") {
        const std::string action = ReadWholeFile(taskFile);
        if (action.empty()) return 1;
        RunTask(Utf8ToWide(action));
        return 0;
    }
    if (args[0] == L"/query") return GetFileAttributesW(taskFile.c_str()) == INVALID_FILE_ATTRIBUTES ? 1 : 0;
    if (args[0] == L"/delete") {
        DeleteFileW(taskFile.c_str());
        return 0;
    }
    return 1;
}
