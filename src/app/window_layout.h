/*
 * The main window's layout: one table of places and sizes at 96 DPI (100 %),
 * and the plain arithmetic that scales it to the DPI the window is shown at.
 * The window is per-monitor DPI aware, so Windows no longer stretches its
 * bitmap at 125-200 % (a Remote Desktop session from a laptop): it draws every
 * control itself at the place this module gives for the DPI of its monitor.
 *
 * Edges are scaled, not sizes: a control's right edge is the scaled right
 * edge of its 96-DPI rectangle. Rounding a size on its own could open a gap of
 * a pixel between controls that touch at 96 DPI, or make them overlap; scaled
 * edges keep every left-of and touching relation of the table at any DPI.
 */
#pragma once

// The DPI every place and size of the table is written for.
inline constexpr int kLayoutBaseDpi = 96;

struct LayoutRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const LayoutRect& other) const {
        return x == other.x && y == other.y && width == other.width && height == other.height;
    }
};

struct LayoutSize {
    int width = 0;
    int height = 0;
    bool operator==(const LayoutSize& other) const { return width == other.width && height == other.height; }
};

// Every place of the window, at one DPI. The footer's width follows its text
// (the version differs per build), and the update button sits left of it.
struct WindowLayout {
    LayoutSize client;
    LayoutRect portLabel;
    LayoutRect portField;
    LayoutRect startButton;
    LayoutRect keyLabel;
    LayoutRect keyField;
    LayoutRect generateButton;
    LayoutRect logPanel;
    LayoutRect autostartBox;
    LayoutRect debugBox;
    LayoutRect footerLabel;
    LayoutRect updateButton;
};

// `value` pixels at 96 DPI as pixels at `dpi`, rounded to the nearest (half
// away from zero), as MulDiv(value, dpi, 96) rounds.
int ScaleToDpi(int value, int dpi);

// The rectangle with its four edges scaled.
LayoutRect ScaleRectToDpi(const LayoutRect& rect, int dpi);

// The controls' font at `dpi`: 9 points, as a LOGFONT height (negative: the
// character height in pixels without the internal leading, -MulDiv(9, dpi, 72)).
int ControlFontHeight(int dpi);

// The window's layout at `dpi`. `footerText` is the footer's text as measured
// with the font of that DPI (ControlFontHeight); the other places do not
// depend on it.
WindowLayout LayoutForDpi(int dpi, LayoutSize footerText);
