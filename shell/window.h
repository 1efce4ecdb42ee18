// The launcher's one window: its class, the window itself and its seven child controls.
#pragma once

#include <windows.h>

// "Tavrinor_Launcher": the class of the launcher's window, by which a second launcher finds it.
extern const char main_window_class[];

// Makes the progress bar's control class available.
void init_control_classes();

// Registers the window class "Tavrinor_Launcher" on main_window_proc, with icon resource 1.
void register_main_window_class(HINSTANCE instance);

// Creates main_window (client area 520 x 360, centred on the primary screen) and its controls,
// sets the progress range to 0..1000 and gives the controls their fonts. Not shown yet.
void create_main_window(HINSTANCE instance);
