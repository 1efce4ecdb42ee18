// The window's side of an update pass: what the pass reports lands on the status line, the
// detail line, the progress bar and the information text, and its end reaches the window.
#pragma once

#include "engine/pass_observer.h"

// The observer of a pass shown in main_window. Its calls come from the pass's thread; each text
// and bar position waits until the window's thread has set it, the end is posted.
PassObserver window_observer();
