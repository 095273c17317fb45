// The main window's layout at the DPIs Windows offers (100-300 %) and in
// between: the 96-DPI table as the window always had it, exact ×1.5 at 150 %,
// and every left-of, above and touching relation of the table kept at any DPI.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/window_layout.h"

namespace {

std::string Show(const LayoutRect& r) {
    return "{" + std::to_string(r.x) + "," + std::to_string(r.y) + "," + std::to_string(r.width) + "," +
           std::to_string(r.height) + "}";
}

// The places the table holds, named for the messages of a failure; the
// client area last, then the two placed from the footer text's measured size.
std::vector<std::pair<const char*, LayoutRect>> Places(const WindowLayout& layout) {
    return {{"port label", layout.portLabel},       {"port field", layout.portField},
            {"start button", layout.startButton},   {"key label", layout.keyLabel},
            {"key field", layout.keyField},         {"generate button", layout.generateButton},
            {"log panel", layout.logPanel},         {"autostart box", layout.autostartBox},
            {"debug box", layout.debugBox},         {"client", {0, 0, layout.client.width, layout.client.height}},
            {"footer", layout.footerLabel},         {"update button", layout.updateButton}};
}
constexpr std::size_t kTablePlaces = 10;  // those before the footer

TEST(ScaleToDpi, RoundsToTheNearestPixelAsMulDivDoes) {
    struct Case {
        int value, dpi, scaled;
    };
    const Case cases[] = {
        {0, 144, 0},       {1, 96, 1},       {1, 144, 2},        {13, 144, 20},     {-13, 144, -20},
        {500, 120, 625},   {336, 144, 504},  {500, 144, 750},    {7, 120, 9},       {5, 120, 6},
        {3, 168, 5},       {1, 480, 5},      {20000000, 480, 100000000},
    };
    for (const Case& c : cases) EXPECT_EQ(ScaleToDpi(c.value, c.dpi), c.scaled) << c.value << " at " << c.dpi;
}

TEST(ControlFontHeight, NinePointsAtTheUsualScales) {
    const std::pair<int, int> cases[] = {{96, -12}, {120, -15}, {144, -18}, {168, -21}, {192, -24}, {288, -36}};
    for (const auto& [dpi, height] : cases) EXPECT_EQ(ControlFontHeight(dpi), height) << dpi;
}

TEST(LayoutForDpi, TheTableAt96And144) {
    // The footer text as measured: 100×14 at 96 DPI, 150×21 at 144.
    const WindowLayout at96 = LayoutForDpi(96, {100, 14});
    EXPECT_EQ(at96.client, (LayoutSize{500, 336}));
    const WindowLayout at144 = LayoutForDpi(144, {150, 21});
    EXPECT_EQ(at144.client, (LayoutSize{750, 504}));

    struct Row {
        const char* name;
        LayoutRect at96, at144;
    };
    const Row rows[] = {
        {"port label", {12, 13, 36, 18}, {18, 20, 54, 27}},
        {"port field", {48, 11, 65, 21}, {72, 17, 98, 31}},
        {"start button", {124, 11, 75, 21}, {186, 17, 113, 31}},
        {"key label", {210, 13, 60, 18}, {315, 20, 90, 27}},
        {"key field", {252, 11, 200, 21}, {378, 17, 300, 31}},
        {"generate button", {456, 11, 40, 21}, {684, 17, 60, 31}},
        {"log panel", {8, 44, 484, 260}, {12, 66, 726, 390}},
        {"autostart box", {12, 310, 90, 20}, {18, 465, 135, 30}},
        {"debug box", {114, 310, 80, 20}, {171, 465, 120, 30}},
        {"client", {0, 0, 500, 336}, {0, 0, 750, 504}},
        {"footer", {392, 314, 104, 16}, {588, 471, 156, 24}},
        {"update button", {334, 308, 46, 22}, {501, 462, 69, 33}},
    };
    const auto places96 = Places(at96);
    const auto places144 = Places(at144);
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        ASSERT_STREQ(places96[i].first, rows[i].name);
        EXPECT_EQ(places96[i].second, rows[i].at96) << rows[i].name << " " << Show(places96[i].second);
        EXPECT_EQ(places144[i].second, rows[i].at144) << rows[i].name << " " << Show(places144[i].second);
    }
}

// Every pair of vertical edges (left, right) of the table's places, and every
// pair of horizontal ones, compares at `dpi` as it does at 96: what lies left
// of another, touches it or lines up with it at 100 % does so at any scale.
// The footer ends in line with the generate button, right of the update button.
TEST(LayoutForDpi, KeepsEveryEdgeRelationOfTheTable) {
    auto edges = [](const WindowLayout& layout, bool across) {
        std::vector<int> values;
        const auto places = Places(layout);
        for (std::size_t i = 0; i < kTablePlaces; ++i) {
            const LayoutRect& r = places[i].second;
            if (across) {
                values.push_back(r.x);
                values.push_back(r.x + r.width);
            } else {
                values.push_back(r.y);
                values.push_back(r.y + r.height);
            }
        }
        return values;
    };
    auto order = [](int a, int b) { return (a > b) - (a < b); };
    // The footer's text scales with the font; its measured size is the scaled one.
    const LayoutSize footer96{100, 14};
    const WindowLayout base = LayoutForDpi(96, footer96);
    for (int dpi = 96; dpi <= 480; ++dpi) {
        const WindowLayout scaled =
            LayoutForDpi(dpi, {ScaleToDpi(footer96.width, dpi), ScaleToDpi(footer96.height, dpi)});
        for (bool across : {true, false}) {
            const std::vector<int> before = edges(base, across);
            const std::vector<int> after = edges(scaled, across);
            for (std::size_t i = 0; i < before.size(); ++i) {
                for (std::size_t j = i + 1; j < before.size(); ++j) {
                    ASSERT_EQ(order(before[i], before[j]), order(after[i], after[j]))
                        << "dpi " << dpi << (across ? " x" : " y") << " edges of " << Places(base)[i / 2].first
                        << " and " << Places(base)[j / 2].first;
                }
            }
        }
        const LayoutRect& footer = scaled.footerLabel;
        const LayoutRect& update = scaled.updateButton;
        ASSERT_EQ(footer.x + footer.width, scaled.generateButton.x + scaled.generateButton.width) << dpi;
        ASSERT_LT(update.x + update.width, footer.x) << dpi;
        ASSERT_GT(update.x, scaled.debugBox.x + scaled.debugBox.width) << dpi;
        ASSERT_LE(footer.y + footer.height, scaled.client.height) << dpi;
    }
}

}  // namespace
