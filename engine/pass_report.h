// The texts and positions a pass shows: formatted the way the player's lines take them, and the
// bar and detail line of a file download, which hear every block and show at most a few a second.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "engine/pass_observer.h"
#include "rebuild/rebuild_file.h"
#include "transfer/download.h"

// printf-style, with the runtime's own rules; a text is cut at 511 characters.
void show_status(const PassObserver& observer, const char* format, ...);
void show_detail(const PassObserver& observer, const char* format, ...);
void show_progress(const PassObserver& observer, unsigned position);

// The bytes of a download step: the files that arrived whole plus the bytes of the file in flight,
// against the bytes of all files of the step.
struct DownloadProgress {
    const PassObserver* observer;
    uint64_t total_bytes;     // all bytes of the step
    uint64_t done_bytes;      // bytes of the files that arrived whole
    std::string path;         // the file in flight, as the list names it
    uint64_t file_size;       // its size
    bool rebuilt;             // it is rebuilt from blocks: the detail line tells what was fetched
    unsigned searched;        // thousandths of the rebuilt file's search
    DWORD start_tick;         // when the file in flight began
    DWORD last_report_tick;   // 0 when a file begins, so its first block shows at once
};

DownloadProgress download_progress(const PassObserver& observer, uint64_t total_bytes);

// A sink for one attempt at `path`: it shows the bar and "%s  -  %s / %s  (%.0f KB/s)" when
// more than 150 ms have passed since the last report.
TransferSink begin_file(DownloadProgress& progress, const std::string& path);

// The same for a file of `size` bytes rebuilt from blocks, whose bytes come mostly from the disk.
// While its old copy is searched, the bar moves and the detail line reads as show_comparing
// has it; then the bar counts the bytes in place, found or fetched, and the detail line reads
// "%s  -  fetched %s of %s  (%.0f KB/s)", so that the player sees what the update saved, at the
// speed since the search ended.
RebuildSink begin_rebuilt_file(DownloadProgress& progress, const std::string& path, uint64_t size);

// The bytes a rebuilt file of `size` bytes counts for on the bar: its search (`searched`
// thousandths) moves it through the first half of its share, its bytes in place through the second.
uint64_t rebuilt_bar_bytes(uint64_t size, unsigned searched, uint64_t on_hand);

// "Comparing %s with your copy... %u%%": the detail line while a file's old copy is searched.
void show_comparing(const PassObserver& observer, const std::string& path, unsigned searched);

// Counts a file that arrived whole.
void end_file(DownloadProgress& progress, uint64_t size);
