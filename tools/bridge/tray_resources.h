#pragma once
// The resource IDs of g19-bridge's icons, for the resource scripts and face_tray_win.cpp. The
// resource compiler reads this with the C preprocessor only: macros, nothing else.

// The program's own icon, which Explorer shows for both exes: the lowest ID comes first.
#define G19_ICON_PROGRAM 1
// The tray's pictures, one per bridge::Icon.
#define G19_ICON_CONNECTED 101
#define G19_ICON_WAITING 102
#define G19_ICON_REFUSED 103
#define G19_ICON_UNREACHABLE 104
#define G19_ICON_PORT_HELD 105
