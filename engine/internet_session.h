// The process's one internet session: opened by the first pass that needs it and kept for every
// later pass, so that they reuse its connections.
#pragma once

#include <windows.h>
#include <wininet.h>

// Opens the session when there is none yet and sets its time-outs again; null when it can't be
// opened, and the next call tries again. Called by one pass at a time.
HINTERNET prepare_internet_session();

// Closes the session, if any; for the end of the process.
void close_internet_session();
