// The texts a pass shows, and the progress of its downloads on the bar and the detail line.
#include "engine/pass_report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "transfer/size_text.h"
#include "update_list/utf8_text.h"

// 511 characters of up to 4 bytes each in UTF-8.
static const size_t text_characters = 511;
static const size_t text_limit = 4 * text_characters + 1;
static const DWORD report_interval_ms = 150;
static const double speed_after_seconds = 0.2;  // earlier speeds are noise, shown as 0
static const uint64_t progress_scale = 1000;
static const unsigned search_done = 1000;

// Formats with msvcrt's _vsnprintf, whose rules the texts are written for; a text that does not
// fit is cut at 511 characters, never inside one, and always terminated.
static void show_text(void (*show)(void*, const char*), void* context, const char* format,
                      va_list args)
{
    char text[text_limit];
    _vsnprintf(text, text_limit - 1, format, args);
    text[text_limit - 1] = '\0';
    text[utf8_prefix_size(text, strlen(text), text_characters)] = '\0';
    show(context, text);
}

void show_status(const PassObserver& observer, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    show_text(observer.status, observer.context, format, args);
    va_end(args);
}

void show_detail(const PassObserver& observer, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    show_text(observer.detail, observer.context, format, args);
    va_end(args);
}

void show_progress(const PassObserver& observer, unsigned position)
{
    observer.progress(observer.context, position);
}

DownloadProgress download_progress(const PassObserver& observer, uint64_t total_bytes)
{
    return DownloadProgress{&observer, total_bytes, 0, std::string(), 0, false, search_done, 0, 0};
}

uint64_t rebuilt_bar_bytes(uint64_t size, unsigned searched, uint64_t on_hand)
{
    uint64_t placed = std::min(on_hand, size);
    return size / 2 * std::min(searched, search_done) / search_done + (placed - placed / 2);
}

void show_comparing(const PassObserver& observer, const std::string& path, unsigned searched)
{
    show_detail(observer, "Comparing %s with your copy... %u%%", path.c_str(), searched * 100 / search_done);
}

static void show_bar(const DownloadProgress& progress, uint64_t done)
{
    unsigned position = unsigned(progress_scale);
    if (progress.total_bytes != 0)
        position = unsigned(done * progress_scale / progress.total_bytes);
    show_progress(*progress.observer, position);
}

// The speed is the file's own average since its attempt began, or since a rebuilt file's search
// ended.
static void report_file_bytes(void* context, uint64_t on_hand, uint64_t arrived)
{
    DownloadProgress& progress = *static_cast<DownloadProgress*>(context);
    DWORD now = GetTickCount();
    if (DWORD(now - progress.last_report_tick) <= report_interval_ms)
        return;
    progress.last_report_tick = now;
    uint64_t done = progress.done_bytes + on_hand;
    show_bar(progress, progress.rebuilt ? progress.done_bytes + rebuilt_bar_bytes(progress.file_size, search_done, on_hand)
                                        : done);
    double seconds = DWORD(now - progress.start_tick) / 1000.0;
    double speed = 0;
    if (seconds > speed_after_seconds)
        speed = double(arrived) / 1024 / seconds;
    if (progress.rebuilt)
        show_detail(*progress.observer, "%s  -  fetched %s of %s  (%.0f KB/s)", progress.path.c_str(),
                    format_size(arrived).c_str(), format_size(progress.file_size).c_str(), speed);
    else
        show_detail(*progress.observer, "%s  -  %s / %s  (%.0f KB/s)", progress.path.c_str(),
                    format_size(done).c_str(), format_size(progress.total_bytes).c_str(), speed);
}

TransferSink begin_file(DownloadProgress& progress, const std::string& path)
{
    progress.path = path;
    progress.rebuilt = false;
    progress.start_tick = GetTickCount();
    progress.last_report_tick = 0;
    return TransferSink{report_file_bytes, &progress};
}

// The search's end shows nothing itself: the first bytes after it show at once, and the speed
// counts from there.
static void report_search(void* context, unsigned searched)
{
    DownloadProgress& progress = *static_cast<DownloadProgress*>(context);
    progress.searched = searched;
    DWORD now = GetTickCount();
    if (searched >= search_done) {
        progress.start_tick = now;
        progress.last_report_tick = 0;
        return;
    }
    if (DWORD(now - progress.last_report_tick) <= report_interval_ms)
        return;
    progress.last_report_tick = now;
    show_bar(progress, progress.done_bytes + rebuilt_bar_bytes(progress.file_size, searched, 0));
    show_comparing(*progress.observer, progress.path, searched);
}

RebuildSink begin_rebuilt_file(DownloadProgress& progress, const std::string& path, uint64_t size)
{
    TransferSink sink = begin_file(progress, path);
    progress.rebuilt = true;
    progress.file_size = size;
    progress.searched = 0;
    return RebuildSink{report_search, sink.received, sink.context};
}

void end_file(DownloadProgress& progress, uint64_t size)
{
    progress.done_bytes += size;
}
