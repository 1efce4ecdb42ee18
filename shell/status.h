// The window's lines and buttons during a pass: text setters, the progress bar, the start of a
// pass and the message that ends one.
#pragma once

#include <windows.h>

#define WM_UPDATE_FINISHED (WM_APP + 1)  // wParam 1 success, 0 failure; lParam 0
// Sent by a pass to the window: wParam 0 gives the instance lock up, 1 takes it back.
#define WM_INSTANCE_LOCK (WM_APP + 2)

#define IDC_START 101
#define IDC_EXIT 102
#define IDC_RETRY 103

// 1 from the start of a pass until the window has handled its end; changed only atomically.
extern volatile LONG update_running;

// printf-style setters of status_line and detail_line; texts are cut at 511 characters.
void set_status(const char* format, ...);
void set_detail(const char* format, ...);

// Moves the progress bar to `position` thousandths (0..1000).
void set_progress(unsigned position);

// Starts a worker thread on update_worker unless a pass already runs (buttons: Busy). The pass
// gets the launcher's folder, file name and server address as they are now.
void start_update_pass();

// The window's end of a pass, on the main thread: clears update_running and sets the buttons to
// Ready (START enabled with the focus) or Failed ("START anyway" and RETRY shown).
void finish_update_pass(bool succeeded);

// In the Ready mode, gives START the keyboard focus again and returns true; false otherwise.
bool focus_start_when_ready();
