// The download step of a pass: the files one after another on one connection, or shared out
// among several threads, each with its own request, buffer and digests, while the bar and the
// detail line show all of them together. Each file ends verified in its part, for the switch.
#include "engine/download_batch.h"

#include <windows.h>
#include <wininet.h>

#include <string>
#include <vector>

#include "engine/pass_report.h"
#include "update_list/update_list.h"
#include "platform/disk_space.h"
#include "platform/thread_wait.h"
#include "transfer/part_file.h"
#include "transfer/size_text.h"
#include "update_list/local_path.h"

static const int attempts_per_file = 3;
static const DWORD retry_pause_ms = 1000;
static const DWORD report_interval_ms = 150;
static const double speed_after_seconds = 0.2;  // earlier speeds are noise, shown as 0
static const uint64_t progress_scale = 1000;
static const unsigned search_done = 1000;
static const char disk_full_reason[] = "disk full?";

ListedFile listed_file(const UpdateEntry& entry)
{
    return ListedFile{entry.path, entry.md5, entry.size, entry.sha256, entry.object};
}

BlockMaps block_maps_of(const UpdateList& list)
{
    BlockMaps maps;
    for (const BlockMapLine& line : list.maps)
        maps[line.path] = MapReference{line.location, line.size, line.sha256};
    return maps;
}

// A part of the file's full size that a download or a finished rebuild of this very file left: the
// download verifies it again and keeps it without a request, where a rebuild would fetch the map.
static bool holds_whole_part(const std::string& part_path, const UpdateEntry& entry)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    PartTag tag;
    return GetFileAttributesExA(part_path.c_str(), GetFileExInfoStandard, &data) &&
           ((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow) == entry.size &&
           read_part_tag(part_path, tag) && tag.md5 == entry.md5 && tag.validator != rebuilt_part_mark;
}

// The map of a file worth rebuilding: one big enough, that must match (a keep file never
// changes once there), with an old copy or a kept part to find blocks in.
static const MapReference* map_to_rebuild_with(const BlockMaps& maps, const UpdateEntry& entry,
                                               const std::string& target)
{
    BlockMaps::const_iterator found = maps.find(entry.path);
    if (found == maps.end() || entry.size < rebuild_min_size || entry.keep ||
        holds_whole_part(target + ".part", entry))
        return nullptr;
    if (GetFileAttributesA(target.c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetFileAttributesA((target + ".part").c_str()) == INVALID_FILE_ATTRIBUTES)
        return nullptr;
    return &found->second;
}

// What an attempt at one file needs besides the file: the server and the game folder, the maps,
// and how many requests a rebuild may make at once.
struct FileFetch {
    const DownloadSource& source;
    const BlockMaps& maps;
    int connections;
};

// A full disk, or one without room for a rebuild's part, won't be freed by waiting a second, so
// it ends the attempts at once.
// `begin_attempt(rebuilt)` gives the sink of each attempt. A rebuild's later attempts go on from
// what its first learnt (map, search, what arrived); one that falls back fetches the whole file in
// the same attempt, and is not tried again in this pass.
template <typename BeginAttempt>
static bool fetch_with_attempts(const FileFetch& fetch, const UpdateEntry& entry, BeginAttempt begin_attempt,
                                std::string& error_text)
{
    std::string target = join_local_path(fetch.source.folder, entry.path);
    ListedFile file = listed_file(entry);
    const MapReference* map = map_to_rebuild_with(fetch.maps, entry, target);
    RebuildMemory memory;
    for (int attempt = 0; attempt < attempts_per_file; ++attempt) {
        Rebuild rebuilt = Rebuild::fall_back;
        if (map != nullptr)
            rebuilt = rebuild_file(fetch.source, file, *map, target, fetch.connections, begin_attempt(true), memory,
                                   error_text);
        if (rebuilt == Rebuild::placed)
            return true;
        if (rebuilt == Rebuild::fall_back) {
            map = nullptr;
            RebuildSink sink = begin_attempt(false);
            if (download_file(fetch.source, file, target, TransferSink{sink.received, sink.context}, error_text))
                return true;
        }
        if (error_text == disk_full_reason || error_text == no_room_reason)
            return false;
        Sleep(retry_pause_ms);
    }
    return false;
}

// The status line reads the same on one connection and on several: files started, of all.
static void show_files_started(const PassObserver& observer, size_t started, size_t count,
                               const std::string& total_text)
{
    show_status(observer, "Downloading %d / %d  (%s)", int(started), int(count), total_text.c_str());
}

static void show_failure(const PassObserver& observer, const std::string& error_text,
                         const UpdateEntry& entry)
{
    show_status(observer, "Download failed: %s", error_text.c_str());
    show_detail(observer, "%s", entry.path.c_str());
}

// One connection: every entry in list order; the first that fails for good ends the step.
static bool download_one_by_one(const FileFetch& fetch, const PassObserver& observer, const LocalCheck& check)
{
    int count = int(check.download_list.size());
    std::string total_text = format_size(check.download_total);
    DownloadProgress progress = download_progress(observer, check.download_total);
    std::string error_text;
    for (int i = 0; i < count; ++i) {
        const UpdateEntry& entry = check.download_list[size_t(i)];
        show_files_started(observer, size_t(i) + 1, size_t(count), total_text);
        if (!fetch_with_attempts(fetch, entry, [&](bool rebuilt) {
                                     if (rebuilt)
                                         return begin_rebuilt_file(progress, entry.path, entry.size);
                                     TransferSink sink = begin_file(progress, entry.path);
                                     return RebuildSink{nullptr, sink.received, sink.context};
                                 },
                                 error_text)) {
            show_failure(observer, error_text, entry);
            return false;
        }
        end_file(progress, entry.size);
    }
    return true;
}

// What one connection is at, for the bar and the detail line.
struct SlotState {
    uint64_t on_hand = 0;       // bytes of its file that the bar counts
    uint64_t call_arrived = 0;  // bytes received in its current call
    size_t file = 0;            // its file
    uint64_t rebuilt_size = 0;  // that file's size while it is rebuilt from blocks, else 0
    unsigned searched = 0;      // thousandths of that rebuild's search
};

// What the connections of a step share. Everything below `lock` is read and written under it.
// The connections never call the observer: the pass's thread shows their state while they run.
struct SharedStep {
    const FileFetch& fetch;
    const PassObserver& observer;
    const std::vector<UpdateEntry>& files;
    uint64_t total_bytes;                   // bytes of all files of the step
    std::string total_text;                 // their size text
    DWORD start_tick;                       // when the step began, for the speed
    CRITICAL_SECTION lock;
    size_t next = 0;                        // the next file to start
    bool stopped = false;                   // a file failed for good: nothing new starts
    std::string error_text{};               // the first such failure's reason
    size_t failed = 0;                      // and its file
    uint64_t done_bytes = 0;                // bytes of the files that arrived whole
    uint64_t step_arrived = 0;              // bytes received in this step, kept ones not counted
    std::vector<SlotState> slots{};         // per connection
    const std::string* latest_path = NULL;  // the file started last
};

struct Connection {
    SharedStep* step;
    size_t slot;
};

// A file whose old copy is being searched, the first in list order of those: -1 for none.
static int file_being_compared(const SharedStep& step, unsigned& searched)
{
    int compared = -1;
    for (const SlotState& slot : step.slots) {
        if (slot.rebuilt_size != 0 && slot.searched < search_done && (compared < 0 || slot.file < size_t(compared))) {
            compared = int(slot.file);
            searched = slot.searched;
        }
    }
    return compared;
}

// The status line when another file has started since the last look, then the bar and the
// detail line: the file whose old copy is being compared, as long as one is (that is when the
// bytes stand still), otherwise the bytes of all files and the speed of the whole step.
static void show_step(SharedStep& step, size_t& shown_started)
{
    EnterCriticalSection(&step.lock);
    size_t started = step.next;
    uint64_t done = step.done_bytes;
    for (const SlotState& slot : step.slots)
        done += slot.on_hand;
    uint64_t arrived = step.step_arrived;
    std::string path = step.latest_path != NULL ? *step.latest_path : std::string();
    unsigned searched = 0;
    int compared = file_being_compared(step, searched);
    LeaveCriticalSection(&step.lock);
    if (started == 0)
        return;
    if (started != shown_started) {
        show_files_started(step.observer, started, step.files.size(), step.total_text);
        shown_started = started;
    }
    unsigned position = unsigned(progress_scale);
    if (step.total_bytes != 0)
        position = unsigned(done * progress_scale / step.total_bytes);
    show_progress(step.observer, position);
    if (compared >= 0) {
        show_comparing(step.observer, step.files[size_t(compared)].path, searched);
        return;
    }
    double seconds = DWORD(GetTickCount() - step.start_tick) / 1000.0;
    double speed = 0;
    if (seconds > speed_after_seconds)
        speed = double(arrived) / 1024 / seconds;
    show_detail(step.observer, "%s  -  %s / %s  (%.0f KB/s)", path.c_str(),
                format_size(done).c_str(), step.total_text.c_str(), speed);
}

static void connection_received(void* context, uint64_t on_hand, uint64_t arrived)
{
    Connection& connection = *static_cast<Connection*>(context);
    SharedStep& step = *connection.step;
    EnterCriticalSection(&step.lock);
    SlotState& slot = step.slots[connection.slot];
    slot.on_hand = slot.rebuilt_size != 0 ? rebuilt_bar_bytes(slot.rebuilt_size, slot.searched, on_hand) : on_hand;
    step.step_arrived += arrived - slot.call_arrived;
    slot.call_arrived = arrived;
    LeaveCriticalSection(&step.lock);
}

static void connection_searched(void* context, unsigned searched)
{
    Connection& connection = *static_cast<Connection*>(context);
    SharedStep& step = *connection.step;
    EnterCriticalSection(&step.lock);
    SlotState& slot = step.slots[connection.slot];
    slot.searched = searched;
    slot.on_hand = rebuilt_bar_bytes(slot.rebuilt_size, searched, 0);
    LeaveCriticalSection(&step.lock);
}

static RebuildSink begin_attempt(Connection& connection, size_t file, bool rebuilt)
{
    SharedStep& step = *connection.step;
    EnterCriticalSection(&step.lock);
    SlotState& slot = step.slots[connection.slot];
    slot = SlotState();
    slot.file = file;
    slot.rebuilt_size = rebuilt ? step.files[file].size : 0;
    LeaveCriticalSection(&step.lock);
    return RebuildSink{connection_searched, connection_received, &connection};
}

// Takes the next file to fetch; false when there is none to start.
static bool start_next(SharedStep& step, size_t& index)
{
    EnterCriticalSection(&step.lock);
    bool starts = !step.stopped && step.next < step.files.size();
    if (starts) {
        index = step.next++;
        step.latest_path = &step.files[index].path;
    }
    LeaveCriticalSection(&step.lock);
    return starts;
}

static void finish_file(Connection& connection, size_t index, bool arrived,
                        const std::string& error_text)
{
    SharedStep& step = *connection.step;
    EnterCriticalSection(&step.lock);
    step.slots[connection.slot] = SlotState();
    if (arrived) {
        step.done_bytes += step.files[index].size;
    } else if (!step.stopped) {
        step.stopped = true;
        step.error_text = error_text;
        step.failed = index;
    }
    LeaveCriticalSection(&step.lock);
}

static DWORD WINAPI run_connection(LPVOID context)
{
    Connection& connection = *static_cast<Connection*>(context);
    SharedStep& step = *connection.step;
    size_t index = 0;
    while (start_next(step, index)) {
        std::string error_text;
        bool arrived = fetch_with_attempts(step.fetch, step.files[index],
                                           [&](bool rebuilt) { return begin_attempt(connection, index, rebuilt); },
                                           error_text);
        finish_file(connection, index, arrived, error_text);
    }
    return 0;
}

// WinINet holds back requests beyond a few per server unless told otherwise; the setting is the
// process's own.
static void allow_connections(int connections)
{
    DWORD count = DWORD(connections);
    InternetSetOptionA(NULL, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &count, sizeof(count));
    InternetSetOptionA(NULL, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &count, sizeof(count));
}

struct StepView {
    SharedStep* step;
    size_t shown_started;
};

static void show_step_view(void* context)
{
    StepView& view = *static_cast<StepView*>(context);
    show_step(*view.step, view.shown_started);
}

// Runs the connections to their end; the pass's thread shows their progress every 150 ms. False
// when no connection could be started, before any file was touched.
static bool run_connections(SharedStep& step, int connections)
{
    std::vector<Connection> slots;
    for (int slot = 0; slot < connections; ++slot)
        slots.push_back(Connection{&step, size_t(slot)});
    std::vector<HANDLE> threads;
    for (Connection& connection : slots) {
        HANDLE thread = CreateThread(NULL, 0, run_connection, &connection, 0, NULL);
        if (thread != NULL)
            threads.push_back(thread);
    }
    if (threads.empty())
        return false;
    StepView view = {&step, 0};
    wait_for_threads(threads, report_interval_ms, show_step_view, &view);
    for (HANDLE thread : threads)
        CloseHandle(thread);
    return true;
}

// Several connections: files start in list order as connections come free.
static bool download_side_by_side(const FileFetch& fetch, const PassObserver& observer, const LocalCheck& check,
                                  int connections)
{
    const std::vector<UpdateEntry>& files = check.download_list;
    SharedStep step{fetch, observer, files, check.download_total, format_size(check.download_total), GetTickCount(),
                    {}};
    step.slots.assign(size_t(connections), SlotState());
    InitializeCriticalSection(&step.lock);
    bool ran = run_connections(step, connections);
    DeleteCriticalSection(&step.lock);
    if (!ran)
        return download_one_by_one(fetch, observer, check);
    if (!step.stopped)
        return true;
    show_failure(observer, step.error_text, files[step.failed]);
    return false;
}

// The files share the connections; a single file rebuilt from blocks spreads its ranges over them.
bool download_files(const DownloadSource& source, const PassObserver& observer, const LocalCheck& check,
                    const BlockMaps& maps, int connections)
{
    allow_connections(connections);
    FileFetch fetch = {source, maps, connections};
    size_t count = check.download_list.size();
    int at_once = connections > int(count) ? int(count) : connections;
    if (at_once <= 1)
        return download_one_by_one(fetch, observer, check);
    return download_side_by_side(fetch, observer, check, at_once);
}
