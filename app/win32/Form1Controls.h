// SPDX-License-Identifier: MIT
// The Windows window's control identifiers, and the names the program gives them: shared with
// the tests that read the window from outside.
#pragma once

namespace packwarden::form1 {

// The window class of Form1 on Windows.
inline constexpr wchar_t WindowClass[] = L"Packwarden.Form1";

// Identifiers of the child windows, in tab order; the lines follow.
enum ControlId : int {
    doit = 100,
    path_to_ef2 = 101,
    Label1 = 102,
    Label2 = 103,
    Label3 = 104,
    Browse = 105,
    mydata = 106,
    Picture1 = 107,
    Line1 = 110,
    Line2 = 111,
};

}  // namespace packwarden::form1
