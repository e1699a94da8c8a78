// SPDX-License-Identifier: MIT
// The window's design, one for the Qt and the Win32 window: the form's size and colour, and
// each control's place (in twips: 1440 to the inch, 15 to a pixel at 96 DPI) and caption
// (UTF-8). Each window builds its own controls from it.
#pragma once

#include <cstdint>

namespace packwarden::design {

inline constexpr int FormWidth = 6000;
inline constexpr int FormHeight = 5865;
inline constexpr int TwipsPerPixelAt96Dpi = 15;

struct Color {
    uint8_t red, green, blue;
};
inline constexpr Color Background{40, 44, 81};

struct Control {
    int left, top, width, height;
    const char* caption;
};

inline constexpr Control Picture1{480, 240, 4935, 855, ""};
inline constexpr Control Label2{
    240, 1440, 5535, 1575,
    "This program will detect what pk3 files are stored on your system, and send it to the "
    "Torvane server. The server will then return a page giving you direct download links for any "
    "pk3's in our system that you don't have, or that are outmoded. We do not collect any data "
    "on you, other than what pk3 files you have and what software version you're running."};
// Not visible: it holds the request's header lines.
inline constexpr Control mydata{-720, 1080, 6015, 285, ""};
// The two white lines, one pixel high at any density.
inline constexpr Control Line1{360, 3120, 5280, TwipsPerPixelAt96Dpi, ""};
inline constexpr Control Label1{360, 3480, 1215, 495, "Elite Force II base folder path:"};
inline constexpr Control path_to_ef2{1680, 3600, 2775, 285, "Text1"};
inline constexpr Control Browse{4680, 3600, 975, 375, "Browse"};
inline constexpr Control Line2{360, 4200, 5280, TwipsPerPixelAt96Dpi, ""};
inline constexpr Control Label3{
    240, 4440, 5535, 495,
    "Developed by Brightforge for Torvane. If you are a developer, join the Torvane crewdock "
    "today!"};
inline constexpr Control doit{2280, 5160, 1215, 495, "&Launch system"};

// Fonts: the labels at 9.75 pt and the buttons at 8.25 pt, each stepped down by a quarter
// point, to the smallest given here, until its text fits its box (a substitute face may be
// wider); a button's caption keeps a margin from its edges.
inline constexpr double LabelPoints = 9.75;
inline constexpr double SmallestLabelPoints = 6.0;
inline constexpr double ButtonPoints = 8.25;
inline constexpr double SmallestButtonPoints = 6.75;
inline constexpr int ButtonMarginPixelsAt96Dpi = 12;

}  // namespace packwarden::design
