// The main window's table of places at 96 DPI, and its scaling.
#include "app/window_layout.h"

namespace {

// The 96-DPI table. The footer and the update button are placed from the
// footer text's measured width (see LayoutForDpi).
constexpr LayoutSize kClient{500, 336};
constexpr LayoutRect kPortLabel{12, 13, 36, 18};
constexpr LayoutRect kPortField{48, 11, 65, 21};
constexpr LayoutRect kStartButton{124, 11, 75, 21};
constexpr LayoutRect kKeyLabel{210, 13, 60, 18};
constexpr LayoutRect kKeyField{252, 11, 200, 21};
constexpr LayoutRect kGenerateButton{456, 11, 40, 21};
constexpr LayoutRect kLogPanel{8, 44, 484, 260};
constexpr LayoutRect kAutostartBox{12, 310, 90, 20};
constexpr LayoutRect kDebugBox{114, 310, 80, 20};
// The footer's text ends at kFooterTextRight, its box at kFooterRight (in line
// with the generate button's right edge); its top, and the margin below the text.
constexpr int kFooterTextRight = 492;
constexpr int kFooterRight = 496;
constexpr int kFooterTop = 314;
constexpr int kFooterMarginBelow = 2;
// The update button: its left edge this far left of the footer's.
constexpr int kUpdateButtonOffset = 58;
constexpr LayoutRect kUpdateButton{0, 308, 46, 22};
constexpr int kFontPoints = 9;

}  // namespace

int ScaleToDpi(int value, int dpi) {
    const long long product = static_cast<long long>(value) * dpi;
    const long long half = kLayoutBaseDpi / 2;
    const long long rounded = product >= 0 ? (product + half) / kLayoutBaseDpi : -((-product + half) / kLayoutBaseDpi);
    return static_cast<int>(rounded);
}

LayoutRect ScaleRectToDpi(const LayoutRect& rect, int dpi) {
    const int left = ScaleToDpi(rect.x, dpi);
    const int top = ScaleToDpi(rect.y, dpi);
    return {left, top, ScaleToDpi(rect.x + rect.width, dpi) - left, ScaleToDpi(rect.y + rect.height, dpi) - top};
}

int ControlFontHeight(int dpi) {
    const long long product = static_cast<long long>(kFontPoints) * dpi;
    return -static_cast<int>((product + 36) / 72);
}

WindowLayout LayoutForDpi(int dpi, LayoutSize footerText) {
    WindowLayout layout;
    layout.client = {ScaleToDpi(kClient.width, dpi), ScaleToDpi(kClient.height, dpi)};
    layout.portLabel = ScaleRectToDpi(kPortLabel, dpi);
    layout.portField = ScaleRectToDpi(kPortField, dpi);
    layout.startButton = ScaleRectToDpi(kStartButton, dpi);
    layout.keyLabel = ScaleRectToDpi(kKeyLabel, dpi);
    layout.keyField = ScaleRectToDpi(kKeyField, dpi);
    layout.generateButton = ScaleRectToDpi(kGenerateButton, dpi);
    layout.logPanel = ScaleRectToDpi(kLogPanel, dpi);
    layout.autostartBox = ScaleRectToDpi(kAutostartBox, dpi);
    layout.debugBox = ScaleRectToDpi(kDebugBox, dpi);

    const int footerLeft = ScaleToDpi(kFooterTextRight, dpi) - footerText.width;
    layout.footerLabel = {footerLeft, ScaleToDpi(kFooterTop, dpi), ScaleToDpi(kFooterRight, dpi) - footerLeft,
                          footerText.height + ScaleToDpi(kFooterMarginBelow, dpi)};
    const LayoutRect update = ScaleRectToDpi(kUpdateButton, dpi);
    layout.updateButton = {layout.footerLabel.x - ScaleToDpi(kUpdateButtonOffset, dpi), update.y, update.width,
                           update.height};
    return layout;
}
