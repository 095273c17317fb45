// The operator's window: port and key fields, start/stop, key generator, log
// panel, autostart box, the hidden debug box, footer and update button, and
// the notification-area icon it hides into.
#pragma once

#include <windows.h>

#include "app/window_messages.h"

class SyncService;

// Control identifiers; editors of this window and its tests rely on them.
enum ControlId : int {
    kPortLabel = 1001,
    kPortField = 1002,
    kStartButton = 1003,
    kKeyLabel = 1004,
    kKeyField = 1005,
    kGenerateButton = 1006,
    kLogPanel = 1007,
    kAutostartBox = 1008,
    kFooterLabel = 1009,
    kDebugBox = 1010,
    kUpdateButton = 1011,
    kTrayShow = 2001,
    kTrayExit = 2002,
};


// The tool role: window, tray, optional silent start, message loop.
// Returns the process exit code.
int RunToolRole(HINSTANCE instance);

// The one service object while the window exists (null otherwise).
SyncService* TheSyncService();
