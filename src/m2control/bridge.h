// The cross-session bridge: reaching a game server whose window lives in
// another Windows session than the tool's (a window message cannot cross
// sessions). Three processes of this one executable take part:
//
//   the tool   writes the call into a request file, registers a one-off
//              scheduled task that runs as SYSTEM with that file's name,
//              starts it and waits for a result file
//              (SendM2CommandCrossSession);
//   --loader   the task: takes the user token of the game server's session
//              and starts the worker there, on the interactive desktop, with
//              an inherited pipe; writes what comes through it into the
//              result file;
//   --worker   finds the game server's main window, posts the menu command
//              and writes the outcome into the pipe (or, started by hand,
//              into the result file it is given).
//
// The result file, worker.log and the copy of this program that the task runs
// live in the work folder ProgramData\TZBridge, which only SYSTEM and
// Administrators may write (bridge_files.h). The texts and command lines are
// built by bridge_rules.h. Nothing here throws.
#pragma once

#include <windows.h>

#include "common/text.h"
#include "m2control/bridge_rules.h"

// How long the tool waits for each step; tests shorten the polling.
struct BridgeTiming {
    DWORD createWaitMs = 10000;  // schtasks.exe /create
    int pollCount = 150;         // looks for the result file ...
    DWORD pollIntervalMs = 200;  // ... this far apart: 30 seconds in all
};

// Runs `commandText` on the game server of `versionPath` in whatever session
// it runs. `reason` is emptied first and holds the failure text when the
// result is false. Blocks the calling thread for up to about 40 seconds.
[[nodiscard]] bool SendM2CommandCrossSession(const WString& versionPath, const WString& commandText,
                                             WString& reason) noexcept;
[[nodiscard]] bool SendM2CommandCrossSession(const WString& versionPath, const WString& commandText,
                                             const BridgeTiming& timing, WString& reason) noexcept;

// Starts the system's schtasks.exe to remove the task `taskName` and does
// not wait for it. The tool removes each task once its call is over; the
// loader removes its own first, so that a task whose tool died between
// creating and removing it does not run the loader as SYSTEM at every logon.
void RemoveBridgeTask(const WString& taskName) noexcept;

// The bridge modes' entry: argv as CommandLineToArgvW gives it, program name
// first, argv[1] being "--loader" or "--worker". Returns the exit code.
int RunBridgeMode(int argc, wchar_t** argv) noexcept;

// The loader (runs as SYSTEM): starts the worker in call.session. Returns the
// worker's exit code, 259 when it still runs after 30 seconds, 1 on failure.
int RunLoader(const BridgeCall& call) noexcept;
// The loader as the task starts it: the call is read from the request file
// `requestName` in the work folder (and the file removed), then as RunLoader.
int RunLoaderRequest(const WString& requestName) noexcept;
// The worker (runs in the game server's session): 0 when the result is "OK|...".
int RunWorker(const BridgeCall& call) noexcept;

// The result file: `text` as UTF-8, created or truncated, written in one call;
// a reparse point or hard-linked file there is not written.
void WriteResultFile(const WString& path, const WString& text) noexcept;
// Appends one line to worker.log in the work folder; failures are ignored.
void WriteWorkerLog(const WString& text) noexcept;

// The work folder for this process's environment, created if missing and
// checked (bridge_files.h); empty when it is refused.
WString PrepareBridgeWorkFolder() noexcept;
