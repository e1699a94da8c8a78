// SPDX-License-Identifier: MIT
// Resource identifiers of packwarden.exe (packwarden.rc).
#pragma once

#define IDI_PACKWARDEN 1  // the first icon: the one Explorer and the taskbar show
#define IDB_BANNER 201
#define IDB_BANNER_2X 202
