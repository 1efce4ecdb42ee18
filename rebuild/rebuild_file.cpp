// A file rebuilt from blocks: the map fetched and checked, the old copy and the kept part searched
// (once per pass: a later attempt goes on from what the first learnt), the file put together in the
// part in its order (found blocks copied, fetched ranges read back as they arrive on several
// connections) with its digests fed on the way, then the one verification every placed file passes.
#include "rebuild/rebuild_file.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "delta/block_map.h"
#include "delta/block_search.h"
#include "delta/range_plan.h"
#include "digest/sha256.h"
#include "platform/disk_space.h"
#include "platform/file_at.h"
#include "platform/thread_wait.h"
#include "transfer/fetch_text.h"
#include "transfer/listed_file.h"
#include "transfer/move_failure.h"
#include "transfer/part_file.h"
#include "transfer/range_fetch.h"
#include "transfer/url.h"

const uint64_t rebuild_min_size = 1024 * 1024;

static const size_t copy_piece_length = 1024 * 1024;
static const DWORD wait_interval_ms = 150;
static const unsigned search_done = 1000;

static size_t read_source(void* context, uint64_t offset, void* buffer, size_t length)
{
    size_t got = 0;
    read_exactly(static_cast<HANDLE>(context), offset, buffer, length, got);
    return got;
}

static uint64_t size_of(HANDLE file)
{
    LARGE_INTEGER size;
    return GetFileSizeEx(file, &size) ? uint64_t(size.QuadPart) : 0;
}

// The map is fetched only when the list's size for it is one the format allows for the file,
// and used only when it is exactly the one listed.
static bool fetch_map(const DownloadSource& source, const ListedFile& file, const MapReference& reference,
                      BlockMap& map)
{
    if (reference.size == 0 || reference.size != max_block_map_size(file.size))
        return false;
    std::string bytes;
    std::string reason;
    if (!fetch_limited(source.session, source.base_url + percent_encode(reference.location), size_t(reference.size),
                       bytes, reason) ||
        bytes.size() != reference.size)
        return false;
    std::string digest;
    return sha256_text_of(bytes.data(), bytes.size(), digest, reason) && digest == reference.sha256 &&
           read_block_map(bytes.data(), bytes.size(), file.size, map, reason);
}

// What the threads of one rebuild share: the progress, and the ranges to fetch and which of them
// have arrived. Everything below `lock` is read and written under it.
struct Rebuilding {
    const DownloadSource& source;
    const ListedFile& file;
    const std::string& part_path;
    const RebuildSink& progress;
    std::vector<ByteRange> ranges;  // in file order
    std::string validator;          // of the first range's answer; every later range asks with it
    HANDLE arrived_event;           // set whenever a range has arrived whole
    uint64_t assembled;             // the part holds the file's bytes before this; assembly's own
    CRITICAL_SECTION lock;
    std::vector<char> arrived;      // 1 for each range in the part
    std::vector<uint64_t> arrived_bytes;  // for each range: how many of its first bytes are in the part
    uint64_t placed;                // bytes of the file in place in the part
    uint64_t fetched;               // bytes fetched in this call
    size_t next_range;              // the next range a connection takes
    RangeAnswer outcome;            // the first answer other than received; received while there is none
    std::string error_text;         // and its reason
};

// Counts bytes put in place; fetched ones with the range they belong to.
static void count(Rebuilding& rebuilding, uint64_t placed, const size_t* range)
{
    EnterCriticalSection(&rebuilding.lock);
    rebuilding.placed += placed;
    if (range != nullptr) {
        rebuilding.fetched += placed;
        rebuilding.arrived_bytes[*range] += placed;
    }
    rebuilding.progress.received(rebuilding.progress.context, rebuilding.placed, rebuilding.fetched);
    LeaveCriticalSection(&rebuilding.lock);
}

// The stopping answer first taken is the one told; the other connections start no new range,
// and the thread that waits for ranges stops waiting.
static void stop_with(Rebuilding& rebuilding, RangeAnswer answer, const std::string& error_text)
{
    EnterCriticalSection(&rebuilding.lock);
    if (rebuilding.outcome == RangeAnswer::received) {
        rebuilding.outcome = answer;
        rebuilding.error_text = error_text;
    }
    LeaveCriticalSection(&rebuilding.lock);
    SetEvent(rebuilding.arrived_event);
}

static bool take_range(Rebuilding& rebuilding, size_t& index)
{
    EnterCriticalSection(&rebuilding.lock);
    bool taken = rebuilding.outcome == RangeAnswer::received && rebuilding.next_range < rebuilding.ranges.size();
    if (taken)
        index = rebuilding.next_range++;
    LeaveCriticalSection(&rebuilding.lock);
    return taken;
}

static void mark_arrived(Rebuilding& rebuilding, size_t index)
{
    EnterCriticalSection(&rebuilding.lock);
    rebuilding.arrived[index] = 1;
    LeaveCriticalSection(&rebuilding.lock);
    SetEvent(rebuilding.arrived_event);
}

struct Writer {
    Rebuilding* rebuilding;
    HANDLE part;
    size_t range;
};

static bool write_fetched(void* context, uint64_t offset, const void* bytes, size_t length)
{
    Writer& writer = *static_cast<Writer*>(context);
    if (!write_exactly(writer.part, offset, bytes, length))
        return false;
    count(*writer.rebuilding, length, &writer.range);
    return true;
}

static RangeAnswer fetch_one(Rebuilding& rebuilding, size_t index, HANDLE part, std::string& validator,
                             std::string& error_text)
{
    Writer writer = {&rebuilding, part, index};
    const ByteRange& range = rebuilding.ranges[index];
    RangeAnswer answer = fetch_range(rebuilding.source, rebuilding.file, range.offset, range.length, validator,
                                     RangeSink{write_fetched, &writer}, error_text);
    if (answer == RangeAnswer::received)
        mark_arrived(rebuilding, index);
    else
        stop_with(rebuilding, answer, error_text);
    return answer;
}

// Fetches ranges until none is left or one did not arrive, through a part handle of its own.
static void fetch_ranges(Rebuilding& rebuilding)
{
    HANDLE part = CreateFileA(rebuilding.part_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (part == INVALID_HANDLE_VALUE) {
        stop_with(rebuilding, RangeAnswer::failed, part_failure_text(GetLastError(), rebuilding.part_path));
        return;
    }
    size_t index = 0;
    while (take_range(rebuilding, index)) {
        std::string validator = rebuilding.validator;
        std::string error_text;
        fetch_one(rebuilding, index, part, validator, error_text);
    }
    CloseHandle(part);
}

static DWORD WINAPI run_connection(LPVOID context)
{
    fetch_ranges(*static_cast<Rebuilding*>(context));
    return 0;
}

// Waits until range `index` is in the part; false once the rebuild has stopped.
static bool wait_for_range(Rebuilding& rebuilding, size_t index)
{
    for (;;) {
        EnterCriticalSection(&rebuilding.lock);
        bool arrived = rebuilding.arrived[index] != 0;
        bool stopped = rebuilding.outcome != RangeAnswer::received;
        LeaveCriticalSection(&rebuilding.lock);
        if (arrived)
            return true;
        if (stopped)
            return false;
        WaitForSingleObject(rebuilding.arrived_event, wait_interval_ms);
    }
}

// Where the bytes of the file from one place on come from, up to `end`: a run of blocks that lie
// together in one source, or that the part holds in place already.
struct Run {
    uint64_t end;          // the run's end in the file
    HANDLE source;         // the file its bytes are read from
    uint64_t from;         // where in that file they start
    bool in_place;         // the part holds them where they belong: nothing to write
};

static bool next_run(const BlockMap& map, const std::vector<BlockOrigin>& origins,
                     const std::vector<HANDLE>& sources, HANDLE part, uint64_t at, uint64_t stop, Run& run)
{
    uint32_t first = uint32_t(at / map.block_size);
    const BlockOrigin& origin = origins[first];
    if (origin.source == block_not_found)
        return false;
    uint32_t last = first + 1;
    while (last < origins.size() && uint64_t(last) * map.block_size < stop && origins[last].source == origin.source &&
           origins[last].offset == origin.offset + uint64_t(last - first) * map.block_size)
        ++last;
    run.end = std::min(uint64_t(last) * map.block_size, stop);
    run.source = sources[origin.source];
    run.from = origin.offset + (at - uint64_t(first) * map.block_size);
    run.in_place = run.source == part && run.from == at;
    return true;
}

// Puts the file together in the part in its order, and feeds every byte through the digests on
// the way: found blocks are copied (those in place only read), fetched ranges read back once they
// have arrived, while the connections fetch the ones after. So the part is verified without
// being read again whole.
static bool assemble(const BlockMap& map, const std::vector<BlockOrigin>& origins, const std::vector<HANDLE>& sources,
                     HANDLE part, Rebuilding& rebuilding, FileDigests& digests, std::string& error_text)
{
    std::vector<unsigned char> buffer(copy_piece_length);
    const std::vector<ByteRange>& ranges = rebuilding.ranges;
    size_t next = 0;
    for (uint64_t at = 0; at < map.file_size;) {
        bool fetched = next < ranges.size() && ranges[next].offset == at;
        Run run = {0, part, at, true};
        if (fetched) {
            if (!wait_for_range(rebuilding, next))
                return false;
            run.end = at + ranges[next++].length;
        } else if (!next_run(map, origins, sources, part, at, next < ranges.size() ? ranges[next].offset : map.file_size,
                             run)) {
            stop_with(rebuilding, RangeAnswer::refused, "an inconsistent block map");
            return false;
        }
        for (uint64_t done = 0; at + done < run.end;) {
            size_t piece = size_t(std::min<uint64_t>(copy_piece_length, run.end - at - done));
            size_t got = 0;
            // An old copy or part that can't be read back is unexpected: the file comes whole.
            if (!read_exactly(run.source, run.from + done, buffer.data(), piece, got)) {
                stop_with(rebuilding, RangeAnswer::refused, "can't read a block back");
                return false;
            }
            if (!run.in_place && !write_exactly(part, at + done, buffer.data(), piece)) {
                error_text = "disk full?";
                stop_with(rebuilding, RangeAnswer::failed, error_text);
                return false;
            }
            feed_digests(digests, buffer.data(), piece);
            done += piece;
            rebuilding.assembled = at + done;
            if (!fetched)
                count(rebuilding, piece, nullptr);
        }
        at = run.end;
    }
    return true;
}

// The first range alone, so that every later one can ask with its answer's validator; then the
// rest on up to `connections` threads while this thread puts the file together.
static bool fetch_and_assemble(const BlockMap& map, const std::vector<BlockOrigin>& origins,
                               const std::vector<HANDLE>& sources, HANDLE part, int connections,
                               Rebuilding& rebuilding, FileDigests& digests, std::string& error_text)
{
    std::vector<HANDLE> threads;
    if (!rebuilding.ranges.empty()) {
        rebuilding.next_range = 1;
        std::string reason;
        if (fetch_one(rebuilding, 0, part, rebuilding.validator, reason) == RangeAnswer::received) {
            size_t wanted = std::min<size_t>(size_t(std::max(connections, 1)), rebuilding.ranges.size() - 1);
            for (size_t i = 0; i < wanted; ++i) {
                HANDLE thread = CreateThread(NULL, 0, run_connection, &rebuilding, 0, NULL);
                if (thread != NULL)
                    threads.push_back(thread);
            }
            if (threads.empty())
                fetch_ranges(rebuilding);
        }
    }
    bool whole = rebuilding.outcome == RangeAnswer::received &&
                 assemble(map, origins, sources, part, rebuilding, digests, error_text);
    wait_for_threads(threads, wait_interval_ms, NULL, NULL);
    for (HANDLE thread : threads)
        CloseHandle(thread);
    error_text = rebuilding.error_text;
    return whole && rebuilding.outcome == RangeAnswer::received;
}

// A part of another version of the file is no source: its blocks are not in their place, and
// writing the new ones over it could destroy bytes still to be copied.
static HANDLE open_part(const std::string& part_path, const ListedFile& file, std::string& error_text)
{
    PartTag tag;
    if (read_part_tag(part_path, tag) ? tag.md5 != file.md5 : GetFileAttributesA(part_path.c_str()) != INVALID_FILE_ATTRIBUTES)
        remove_part(part_path);
    HANDLE part = CreateFileA(part_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (part == INVALID_HANDLE_VALUE)
        error_text = part_failure_text(GetLastError(), part_path);
    return part;
}

// Gives the part the file's size once it is marked as rebuilt: a kill from here on leaves a part
// no download takes for the start of the file, and the next rebuild finds its blocks in place.
static bool prepare_part(HANDLE part, const std::string& part_path, const ListedFile& file, std::string& error_text)
{
    write_part_tag(part_path, PartTag{file.md5, rebuilt_part_mark});
    LARGE_INTEGER end;
    end.QuadPart = LONGLONG(file.size);
    if (!SetFilePointerEx(part, end, NULL, FILE_BEGIN) || !SetEndOfFile(part)) {
        error_text = "disk full?";
        return false;
    }
    return true;
}

static bool tell_search(void* context, uint64_t bytes_searched, uint64_t bytes_total)
{
    const RebuildSink& progress = *static_cast<const RebuildSink*>(context);
    unsigned thousandths = search_done;
    if (bytes_total != 0 && bytes_searched < bytes_total)
        thousandths = unsigned(bytes_searched * search_done / bytes_total);
    progress.searched(progress.context, thousandths);
    return true;
}

// Searches the sources unless an earlier attempt did with the same old copy; the part, which only
// ever holds the file's own bytes in place, may have grown since.
static bool search_once(const std::vector<DeltaSource>& sources, bool has_old, const RebuildSink& progress,
                        RebuildMemory& memory)
{
    if (memory.searched && memory.had_old == has_old && (!has_old || memory.old_size == sources[0].size)) {
        progress.searched(progress.context, search_done);
        return true;
    }
    memory.searched = false;
    SearchProgress told = {tell_search, const_cast<RebuildSink*>(&progress)};
    std::string reason;
    if (!search_blocks(memory.map, sources, &told, memory.origins, reason))
        return false;
    progress.searched(progress.context, search_done);
    memory.searched = true;
    memory.had_old = has_old;
    memory.old_size = has_old ? sources[0].size : 0;
    return true;
}

// The blocks an attempt that broke off put in place in the part: those before where the assembly
// stopped and those within what arrived of each range. The next attempt takes them from there.
static void remember_in_place(const Rebuilding& rebuilding, uint32_t part_source, RebuildMemory& memory)
{
    const BlockMap& map = memory.map;
    std::vector<ByteRange> spans = rebuilding.ranges;
    for (size_t i = 0; i < spans.size(); ++i)
        spans[i].length = rebuilding.arrived_bytes[i];
    spans.push_back(ByteRange{0, rebuilding.assembled});
    for (const ByteRange& span : spans) {
        uint32_t block = uint32_t((span.offset + map.block_size - 1) / map.block_size);
        for (; block < memory.origins.size() &&
               uint64_t(block) * map.block_size + block_map_block_length(map, block) <= span.offset + span.length;
             ++block)
            memory.origins[block] = BlockOrigin{uint64_t(block) * map.block_size, part_source};
    }
    memory.validator = rebuilding.validator;
}

// Searches the old copy and the part (or goes on from what `memory` holds), then fetches and
// assembles. Placed here means complete, with the digests of every byte; the caller gives the
// verdict.
static Rebuild rebuild_into(const DownloadSource& source, const ListedFile& file, const std::string& target,
                            const std::string& part_path, HANDLE part, int connections, const RebuildSink& progress,
                            RebuildMemory& memory, FileDigests& digests, std::string& error_text)
{
    const BlockMap& map = memory.map;
    HANDLE old = CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             NULL, OPEN_EXISTING, 0, NULL);
    std::vector<HANDLE> handles;
    std::vector<DeltaSource> sources;
    if (old != INVALID_HANDLE_VALUE) {
        handles.push_back(old);
        sources.push_back(DeltaSource{read_source, old, size_of(old)});
    }
    handles.push_back(part);
    sources.push_back(DeltaSource{read_source, part, size_of(part), true});
    Rebuild outcome = Rebuild::fall_back;
    HANDLE arrived_event = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (arrived_event != NULL && search_once(sources, old != INVALID_HANDLE_VALUE, progress, memory) &&
        prepare_part(part, part_path, file, error_text)) {
        Rebuilding rebuilding = {source, file, part_path, progress, {}, memory.validator, arrived_event, 0, {}, {}, {},
                                 0, 0, 0, RangeAnswer::received, std::string()};
        plan_missing_ranges(map, memory.origins, default_max_range_length, rebuilding.ranges);
        rebuilding.arrived.assign(rebuilding.ranges.size(), 0);
        rebuilding.arrived_bytes.assign(rebuilding.ranges.size(), 0);
        InitializeCriticalSection(&rebuilding.lock);
        bool whole = fetch_and_assemble(map, memory.origins, handles, part, connections, rebuilding, digests,
                                        error_text);
        DeleteCriticalSection(&rebuilding.lock);
        if (whole)
            outcome = Rebuild::placed;
        else if (rebuilding.outcome != RangeAnswer::refused)
            outcome = Rebuild::failed;
        remember_in_place(rebuilding, uint32_t(sources.size() - 1), memory);
    } else if (!error_text.empty()) {
        outcome = Rebuild::failed;
    }
    if (arrived_event != NULL)
        CloseHandle(arrived_event);
    if (old != INVALID_HANDLE_VALUE)
        CloseHandle(old);
    return outcome;
}

// The part grows to the file's size only where the disk has room for what it lacks of it.
static bool room_for_part(HANDLE part, const std::string& part_path, const ListedFile& file, std::string& error_text)
{
    uint64_t held = size_of(part);
    std::string folder = part_path.substr(0, part_path.find_last_of('\\') + 1);
    return held >= file.size || may_reserve(folder, file.size - held, error_text);
}

// A rebuilt file that is not the listed one goes, and the whole file comes instead; one the
// system could not hash, or whose flush failed, fails the attempt like a download would. A verified
// part is marked so, to wait for the switch.
static Rebuild finish(const ListedFile& file, const std::string& part_path, Rebuild outcome, bool flushed,
                      FileDigests& digests, std::string& error_text)
{
    if (outcome != Rebuild::placed)
        return outcome;
    if (!flushed) {
        error_text = "disk full?";
        return Rebuild::failed;
    }
    if (!verify_listed_file(file, digests, error_text)) {
        if (!digests.failure.empty())
            return Rebuild::failed;
        remove_part(part_path);
        return Rebuild::fall_back;
    }
    write_part_tag(part_path, PartTag{file.md5, verified_part_mark});
    return Rebuild::placed;
}

Rebuild rebuild_file(const DownloadSource& source, const ListedFile& file, const MapReference& map,
                     const std::string& target, int connections, const RebuildSink& progress,
                     RebuildMemory& memory, std::string& error_text)
{
    if (!memory.has_map && !fetch_map(source, file, map, memory.map))
        return Rebuild::fall_back;
    memory.has_map = true;
    std::string part_path = target + ".part";
    create_folders(source.folder, target);
    HANDLE part = open_part(part_path, file, error_text);
    if (part == INVALID_HANDLE_VALUE)
        return Rebuild::failed;
    error_text.clear();
    if (!room_for_part(part, part_path, file, error_text)) {
        CloseHandle(part);
        return Rebuild::failed;
    }
    FileDigests digests = {};
    begin_digests(file, digests);
    Rebuild outcome = rebuild_into(source, file, target, part_path, part, connections, progress, memory, digests,
                                   error_text);
    bool flushed = outcome == Rebuild::placed && FlushFileBuffers(part);
    CloseHandle(part);
    outcome = finish(file, part_path, outcome, flushed, digests, error_text);
    release_digests(digests);
    return outcome;
}
