// The window's system menu entries "About Device Firmware Update Tool..." and "Open Log
// Folder": the About box shows the version, the embedded image's size, address range,
// reset handler and SHA-256 and the log folder; the other opens the folder in Explorer.
#pragma once

#include <windows.h>

void about_menu_add(HWND window);
// Handles a WM_SYSCOMMAND of one of the entries; false for every other command.
bool about_menu_command(HWND window, WPARAM command);
