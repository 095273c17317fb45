// A stand-in for the window that shows the log panel: message-only, never
// shown, it collects on the test thread the panel messages the code under
// test posts to it.
#pragma once

#include <windows.h>

#include <vector>

#include "app/window_messages.h"
#include "common/log.h"
#include "common/text.h"

namespace testsupport {

struct PanelWindow {
    HWND handle = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);

    PanelWindow() = default;
    ~PanelWindow() {
        if (handle) DestroyWindow(handle);
    }
    PanelWindow(const PanelWindow&) = delete;
    PanelWindow& operator=(const PanelWindow&) = delete;

    struct Line {
        WString text;
        WPARAM highlight;
        bool operator==(const Line& o) const { return text == o.text && highlight == o.highlight; }
    };
    // Every panel message waiting in the queue, oldest first.
    std::vector<Line> Take() const {
        std::vector<Line> lines;
        MSG msg;
        while (PeekMessageW(&msg, handle, kLogPanelMessage, kLogPanelMessage, PM_REMOVE)) {
            lines.push_back({TakePanelText(msg.lParam), msg.wParam});
        }
        return lines;
    }
    // The same, texts only.
    std::vector<WString> TakeTexts() const {
        std::vector<WString> texts;
        for (Line& line : Take()) texts.push_back(std::move(line.text));
        return texts;
    }
};

}  // namespace testsupport
