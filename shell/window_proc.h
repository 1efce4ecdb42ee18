// The window procedure of the launcher's window.
#pragma once

#include <windows.h>

// Paints, colours the static controls, carries out the buttons, asks before closing during a
// pass and handles the end of a pass; everything else goes to DefWindowProcA.
LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
