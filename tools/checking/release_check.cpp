// Checking a published release's files and block maps on the server, each with the request a
// launcher makes: a one-byte range tells a file's size without its body, so that a release of
// thousands of files is checked in a few round trips per connection. The ranges and maps are
// judged as the launcher's delta and resume judge them.
#include "tools/checking/release_check.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>

#include "delta/block_map.h"
#include "digest/md5.h"
#include "digest/sha256.h"
#include "transfer/size_text.h"
#include "transfer/url.h"

static const unsigned long status_ok = 200;
static const unsigned long status_partial = 206;
static const unsigned long status_not_found = 404;
static const unsigned long status_unsatisfiable = 416;
static const double report_interval_seconds = 1.0;

static const char no_range_warning[] =
    "server: no range support: no resume, no delta updates: expected 206 to a request for bytes 0-0, the "
    "server answered 200 with the whole file";
static const char whole_files_instead[] = "(deltas and resumed downloads will fetch whole files)";

// What the connections share. Each job (the entries, then the maps) writes only its own slot.
struct SharedCheck {
    const FileCheckSettings& settings;
    const UpdateList& list;
    std::vector<char> if_range_probes;          // per entry: 1 when it is asked again with If-Range
    std::vector<const UpdateEntry*> map_files;  // per map: the entry it describes, null for none
    std::vector<std::vector<std::string>> problems;  // per entry, then per map: players fail
    std::vector<std::vector<std::string>> warnings;  // the same slots: players succeed, slower
    std::atomic<size_t> next;
    std::atomic<size_t> done;
    std::atomic<uint64_t> received;
    std::atomic<bool> ranges_refused;
    double started;      // the calling thread's alone, like last_report
    double last_report;
};

// The digests of a body as it arrives; more bytes than `limit` can't be the file and cut it.
struct BodyDigests {
    uint64_t limit;
    uint64_t size;
    Md5Context md5;
    bool with_sha256;
    Sha256Context sha256;
    std::string hash_failure;  // why the SHA-256 could not be computed, when it could not
    std::string* kept;         // receives the body too when not null
};

static double now_seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

static std::string bytes_text(uint64_t size)
{
    return std::to_string(size) + (size == 1 ? " byte" : " bytes");
}

std::string answer_problem(const std::string& name, const std::string& expected, bool answered,
                           const HttpAnswer& answer)
{
    if (!answered) {
        return name + ": no answer: expected " + expected + ", " + answer.failure;
    }
    if (answer.status == status_not_found) {
        return name + ": missing (check the upload and the letter case): expected " + expected +
               ", the server answered 404";
    }
    if (answer.status != status_ok && answer.status != status_partial) {
        std::string status = std::to_string(answer.status);
        return name + ": HTTP " + status + ": expected " + expected + ", the server answered " + status;
    }
    return std::string();
}

static bool take_block(void* context, const char* data, size_t length)
{
    BodyDigests& digests = *static_cast<BodyDigests*>(context);
    digests.size += length;
    if (digests.size > digests.limit) {
        return false;
    }
    md5_update(digests.md5, data, static_cast<uint32_t>(length));
    if (digests.kept != nullptr) {
        digests.kept->append(data, length);
    }
    if (digests.with_sha256 && digests.hash_failure.empty() &&
        !sha256_update(digests.sha256, data, length, digests.hash_failure)) {
        sha256_release(digests.sha256);
    }
    return true;
}

// What a downloaded body must be: `md5` and `sha256` are skipped when empty.
struct Expected {
    std::string name;
    std::string url;
    uint64_t size;
    std::string md5;
    std::string sha256;
};

static void compare_digests(const Expected& expected, BodyDigests& digests, std::vector<std::string>& problems)
{
    std::string md5 = md5_final(digests.md5);
    if (digests.size > expected.size) {
        problems.push_back(expected.name + ": wrong size: expected " + bytes_text(expected.size) +
                           ", the server sent more");
        return;
    }
    if (digests.size != expected.size) {
        problems.push_back(expected.name + ": wrong size: expected " + bytes_text(expected.size) +
                           ", the server sent " + bytes_text(digests.size));
        return;
    }
    if (!expected.md5.empty() && md5 != expected.md5) {
        problems.push_back(expected.name + ": wrong MD5: expected " + expected.md5 + ", the server gave " + md5);
    }
    if (!digests.with_sha256) {
        return;
    }
    std::string sha256;
    if (digests.hash_failure.empty() && !sha256_final(digests.sha256, sha256, digests.hash_failure)) {
        sha256.clear();
    }
    if (!digests.hash_failure.empty()) {
        problems.push_back(expected.name + ": SHA-256 not computed: " + digests.hash_failure);
    } else if (sha256 != expected.sha256) {
        problems.push_back(expected.name + ": wrong SHA-256: expected " + expected.sha256 + ", the server gave " +
                           sha256);
    }
}

// Fetches the whole body as a launcher does and compares it with what the list says; `kept`, when
// not null, receives the body.
static void download_and_compare(HttpClient& client, SharedCheck& shared, const Expected& expected,
                                 std::string* kept, std::vector<std::string>& problems)
{
    BodyDigests digests = {expected.size, 0, {}, !expected.sha256.empty(), {nullptr, nullptr}, std::string(), kept};
    md5_init(digests.md5);
    if (digests.with_sha256) {
        sha256_begin(digests.sha256, digests.hash_failure);
    }
    HttpAsk ask = {expected.url, {}, false, BodyUse::stream, 0, {take_block, &digests}};
    HttpAnswer answer;
    bool answered = http_get(client, ask, answer);
    shared.received += answer.received;
    std::string problem = answer_problem(expected.name, bytes_text(expected.size), answered, answer);
    if (!problem.empty()) {
        problems.push_back(problem);
    } else {
        compare_digests(expected, digests, problems);
    }
    sha256_release(digests.sha256);
}

// The size the answer to "bytes=0-0" tells: a 206's total, the Content-Length of a 200 (a server
// without ranges), none for a 416 (only an empty file has no byte 0). False when it tells none.
static bool told_size(const HttpAnswer& answer, uint64_t& size)
{
    if (answer.status == status_unsatisfiable) {
        size = 0;
        return true;
    }
    if (answer.status == status_partial) {
        size = answer.range.total;
        return answer.has_range;
    }
    size = answer.length;
    return answer.has_length;
}

// The launcher puts the bytes of a 206 into a file only when its Content-Range is exactly the
// range asked, of a file of the listed size, and its body that long; anything else makes it fetch
// the whole file.
static bool is_range_asked(const HttpAnswer& answer, const AskedRange& asked, uint64_t size)
{
    return answer.status == status_partial && answer.has_range && answer.range.first == asked.first &&
           answer.range.last == asked.last && answer.range.total == size &&
           (!answer.has_length || answer.length == asked.last - asked.first + 1);
}

static std::string range_text(uint64_t first, uint64_t last)
{
    return "bytes " + std::to_string(first) + "-" + std::to_string(last);
}

// What came instead of the range asked.
static std::string answer_text(bool answered, const HttpAnswer& answer)
{
    if (!answered) {
        return "no answer: " + answer.failure;
    }
    if (answer.status != status_partial) {
        return "HTTP " + std::to_string(answer.status);
    }
    if (!answer.has_range) {
        return "206 without a Content-Range the launcher reads";
    }
    std::string text = range_text(answer.range.first, answer.range.last) + "/" + std::to_string(answer.range.total);
    if (answer.has_length && answer.length != answer.range.last - answer.range.first + 1) {
        text += " with a body of " + bytes_text(answer.length);
    }
    return text;
}

// A delta asks every range after its first with If-Range and that first answer's validator, as
// a resumed download asks with the one its part began with. A server, or a CDN whose nodes give
// one file different validators, that answers such a request with the whole file makes every
// one of them fall back.
static void check_if_range(HttpClient& client, SharedCheck& shared, const Expected& expected,
                           const std::string& validator, std::vector<std::string>& warnings)
{
    uint64_t last = expected.size - 1;
    HttpAsk ask = {expected.url, {true, last, last, validator}, false, BodyUse::skip, 0, {nullptr, nullptr}};
    HttpAnswer answer;
    bool answered = http_get(client, ask, answer);
    shared.received += answer.received;
    if (answered && is_range_asked(answer, ask.range, expected.size)) {
        return;
    }
    std::string gave = answer_text(answered, answer);
    if (answered && !answer.validator.empty() && answer.validator != validator) {
        gave += " with the validator " + answer.validator;
    }
    warnings.push_back(expected.name + ": the server does not honour If-Range with its own validator " +
                       whole_files_instead + ": expected " + range_text(last, last) + " to If-Range: " + validator +
                       ", the server answered " + gave);
}

// A server that answers ranges otherwise than asked costs players time, not the update: the
// launcher falls back to whole files, so those lines are warnings.
static void check_entry(HttpClient& client, SharedCheck& shared, size_t index, std::vector<std::string>& problems,
                        std::vector<std::string>& warnings)
{
    const UpdateEntry& entry = shared.list.files[index];
    ListedFile listed = {entry.path, entry.md5, entry.size, entry.sha256, entry.object};
    Expected expected = {entry.path, file_url(shared.settings.base_url, listed), entry.size, entry.md5, entry.sha256};
    HttpAsk ask = {expected.url, {true, 0, 0, std::string()}, false, BodyUse::skip, 0, {nullptr, nullptr}};
    HttpAnswer answer;
    bool answered = http_get(client, ask, answer);
    shared.received += answer.received;
    std::string problem = answer.status == status_unsatisfiable
                              ? std::string()
                              : answer_problem(entry.path, bytes_text(entry.size), answered, answer);
    if (!problem.empty()) {
        problems.push_back(problem);
        return;
    }
    // An empty file has no byte 0 to give: its whole answer says nothing of ranges (nginx gives one).
    if (answer.status == status_ok && !(answer.has_length && answer.length == 0)) {
        shared.ranges_refused = true;
    }
    uint64_t size = 0;
    bool size_known = told_size(answer, size);
    if (answer.status == status_partial && !size_known) {
        problems.push_back(entry.path + ": no size: expected " + bytes_text(entry.size) +
                           ", the server answered 206 without the file's size in Content-Range");
        return;
    }
    if (size_known && size != entry.size) {
        problems.push_back(entry.path + ": wrong size: expected " + bytes_text(entry.size) + ", the server has " +
                           bytes_text(size));
        return;
    }
    if (answer.status == status_partial && !is_range_asked(answer, ask.range, entry.size)) {
        warnings.push_back(entry.path + ": the server answers another range than asked " + whole_files_instead +
                           ": expected " + range_text(0, 0) + ", the server answered " + answer_text(true, answer));
    } else if (answer.status == status_partial && shared.if_range_probes[index] && !answer.validator.empty()) {
        check_if_range(client, shared, expected, answer.validator, warnings);
    }
    // A body without a Content-Length tells its size only by its end.
    if (shared.settings.deep || !size_known) {
        download_and_compare(client, shared, expected, nullptr, problems);
    }
}

// Why a launcher would not use a map whose bytes are the listed ones, judged as its rebuild
// judges it: by the listed size before fetching, then by its own reader for the file's size.
// Empty when it would use it.
static std::string map_refusal(const BlockMapLine& map, const UpdateEntry* file, const std::string& bytes)
{
    if (file == nullptr) {
        return "expected a map of a listed file, the list has no entry " + map.path;
    }
    uint64_t size = max_block_map_size(file->size);
    if (size == 0) {
        return "expected no map for a file of " + bytes_text(file->size) + ", too large for one";
    }
    if (map.size != size) {
        return "expected the " + bytes_text(size) + " of the map of a file of " + bytes_text(file->size) +
               ", the list names " + bytes_text(map.size);
    }
    BlockMap read;
    std::string reason;
    if (!read_block_map(bytes.data(), bytes.size(), file->size, read, reason)) {
        return "expected the map of a file of " + bytes_text(file->size) + ", the launcher's reader says: " + reason;
    }
    return std::string();
}

static void check_map(HttpClient& client, SharedCheck& shared, size_t index, std::vector<std::string>& problems,
                      std::vector<std::string>& warnings)
{
    const BlockMapLine& map = shared.list.maps[index];
    const UpdateEntry* file = shared.map_files[index];
    Expected expected = {map.location + " (block map of " + map.path + ")",
                         shared.settings.base_url + percent_encode(map.location), map.size, std::string(),
                         map.sha256};
    // Kept only at the one size a launcher fetches, so no listed size makes verify hold more.
    bool readable = file != nullptr && map.size != 0 && map.size == max_block_map_size(file->size);
    std::string bytes;
    size_t found = problems.size();
    download_and_compare(client, shared, expected, readable ? &bytes : nullptr, problems);
    std::string refusal = problems.size() == found ? map_refusal(map, file, bytes) : std::string();
    if (!refusal.empty()) {
        warnings.push_back(expected.name + ": refused by the launcher (updates of " + map.path +
                           " will download the whole file): " + refusal);
    }
}

static void run_checks(void* context, HttpClient& client)
{
    SharedCheck& shared = *static_cast<SharedCheck*>(context);
    const std::vector<UpdateEntry>& files = shared.list.files;
    size_t count = shared.problems.size();
    for (size_t job = shared.next++; job < count; job = shared.next++) {
        if (job < files.size()) {
            check_entry(client, shared, job, shared.problems[job], shared.warnings[job]);
        } else {
            check_map(client, shared, job - files.size(), shared.problems[job], shared.warnings[job]);
        }
        ++shared.done;
    }
}

static void report_progress(void* context)
{
    SharedCheck& shared = *static_cast<SharedCheck*>(context);
    double now = now_seconds();
    if (now - shared.last_report < report_interval_seconds) {
        return;
    }
    shared.last_report = now;
    std::fprintf(stderr, "checked %zu / %zu files, %s received, %.1f s\n", shared.done.load(),
                 shared.problems.size(), format_size(shared.received.load()).c_str(), now - shared.started);
}

// The entries asked a second time, with If-Range: the first that has a map, as a delta asks it,
// and the largest, as a resumed download would; two requests whatever the size of the release.
static std::vector<char> if_range_probes(const UpdateList& list)
{
    std::set<std::string> mapped;
    for (const BlockMapLine& map : list.maps) {
        mapped.insert(map.path);
    }
    std::vector<char> probes(list.files.size(), 0);
    bool map_found = false;
    size_t largest = list.files.size();
    for (size_t i = 0; i < list.files.size(); ++i) {
        const UpdateEntry& entry = list.files[i];
        if (entry.size == 0) {
            continue;
        }
        if (!map_found && mapped.count(entry.path) != 0) {
            probes[i] = 1;
            map_found = true;
        }
        if (largest == list.files.size() || entry.size > list.files[largest].size) {
            largest = i;
        }
    }
    if (largest < list.files.size()) {
        probes[largest] = 1;
    }
    return probes;
}

// The entry each map describes, matched by the exact path bytes as the launcher matches them.
static std::vector<const UpdateEntry*> map_files(const UpdateList& list)
{
    std::map<std::string, const UpdateEntry*> by_path;
    for (const UpdateEntry& entry : list.files) {
        by_path[entry.path] = &entry;
    }
    std::vector<const UpdateEntry*> files;
    for (const BlockMapLine& map : list.maps) {
        std::map<std::string, const UpdateEntry*>::const_iterator found = by_path.find(map.path);
        files.push_back(found == by_path.end() ? nullptr : found->second);
    }
    return files;
}

bool check_published_files(const FileCheckSettings& settings, const UpdateList& list, FileCheckResult& result,
                           std::string& error_text)
{
    SharedCheck shared = {settings, list, if_range_probes(list), map_files(list), {}, {}, {0}, {0}, {0}, {false},
                          now_seconds(), 0.0};
    shared.last_report = shared.started;
    shared.problems.resize(list.files.size() + list.maps.size());
    shared.warnings.resize(shared.problems.size());
    int connections = settings.connections;
    if (static_cast<size_t>(connections) > shared.problems.size()) {
        connections = static_cast<int>(shared.problems.size());
    }
    if (connections > 0 && !run_connections(connections, ConnectionWork{run_checks, report_progress, &shared},
                                            error_text)) {
        return false;
    }
    result.problems.clear();
    result.warnings.clear();
    // Without ranges every download starts over and nothing is rebuilt from blocks, but it arrives.
    if (shared.ranges_refused) {
        result.warnings.push_back(no_range_warning);
    }
    for (size_t slot = 0; slot < shared.problems.size(); ++slot) {
        result.problems.insert(result.problems.end(), shared.problems[slot].begin(), shared.problems[slot].end());
        result.warnings.insert(result.warnings.end(), shared.warnings[slot].begin(), shared.warnings[slot].end());
    }
    result.received = shared.received;
    return true;
}
