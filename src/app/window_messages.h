/*
 * The main window's own messages, in one table so that no two share a number.
 * Lower modules never see these: the window hands them callbacks or, for the
 * log, the window and message to post to.
 */
#pragma once

#include <windows.h>

// A log line for the panel: wParam = highlight flag (1 red, 0 black),
// lParam = a WChar* made with new[]; from a successful post on it belongs to
// the receiver (TakePanelText).
constexpr UINT kLogPanelMessage = WM_APP + 1;
// The tray icon's notifications.
constexpr UINT kTrayCallbackMessage = WM_APP + 2;
// Posted on the check thread after a verified update check was published.
constexpr UINT kUpdateCheckedMessage = WM_APP + 3;
// The download's outcome. Package ready: lParam is the new[]-made path of the
// unpacked and checked program, owned by the window, or 0 when the update
// stopped after the download (the panel already says why).
constexpr UINT kPackageReadyMessage = WM_APP + 4;
constexpr UINT kDownloadFailedMessage = WM_APP + 5;
// Posted by the service when a start that waited for its port gave up.
constexpr UINT kServiceGaveUpMessage = WM_APP + 16;
// Posted by the stopping thread once the service's stop has returned.
constexpr UINT kServiceStoppedMessage = WM_APP + 17;
