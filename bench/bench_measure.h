// What the Windows benches measure with: the wall clock, CPU time of a thread or of the whole
// process, the peak working set, and a file read whole.
#pragma once

#include <string>

double seconds_now();
// CPU time of the calling thread: on a shared machine, time spent waiting for a core says nothing
// about the code measured. It moves in clock ticks (10 ms under wine), so a round measured with it
// must last over a hundred of them.
double thread_cpu_seconds();
// CPU time of the whole process, the network stack's threads included: what a download costs the
// player's machine, which the wall time of a shared machine hides.
double process_cpu_seconds();
double peak_working_set_mib();
// Replaces `text` with the file's bytes; false when it can't be opened.
bool read_whole_file(const std::string& file_name, std::string& text);
