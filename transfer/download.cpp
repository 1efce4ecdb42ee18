// The download of one listed file: the ".part" file kept from an earlier attempt and the tag that
// says which answer it came from, the request for what is still missing, receipt with running
// digests and progress reports, and verification of the part, which then waits for its move.
#include "transfer/download.h"

#include <cstring>
#include <vector>

#include "transfer/content_range.h"
#include "transfer/http_request.h"
#include "transfer/http_response.h"
#include "transfer/move_failure.h"
#include "transfer/part_file.h"
#include "transfer/url.h"

// RELOAD | NO_CACHE_WRITE | NO_UI: always from the origin, never a dialog; the digest in the
// query already makes every version's URL its own, so no no-cache pragma is sent.
static const DWORD download_flags = 0x84000200;
static const DWORD receive_block_size = 65536;
static const uint64_t size_tolerance = 1048576;  // bytes past the listed size before giving up
static const unsigned long status_ok = 200;
static const unsigned long status_partial = 206;
// A smaller file's part is not gone on from: fetching it again costs less than tagging it, whose
// writing and removal take four file calls, about what a small download costs under wine.
static const uint64_t resume_min_size = 256 * 1024;

// The state of one call; the buffer and the digests are the call's own.
struct Receipt {
    const ListedFile& file;
    const TransferSink& progress;
    std::vector<unsigned char> buffer;
    FileDigests digests;  // of the part's bytes, from its first on
    uint64_t arrived;     // bytes received in this call, for the speed
};

// How one attempt ended: the part holds the file, verified and flushed, the call fails, or the
// part can't be gone on from and the file is fetched from its first byte once more.
enum class Attempt { staged, failed, start_over };

// A part file beside the target, left by an earlier attempt.
struct KeptPart {
    uint64_t size;          // bytes on disk; 0 when there is none
    bool resumable;         // its tag names this file's digest and the answer's validator
    std::string validator;  // that validator, for "If-Range"
};

// A part of another version of the file, or of an answer that named no validator, can't be gone
// on from: the server could not say whether its bytes are still the start of what it serves. A
// part rebuilt from blocks is not the start of the file at all, and goes, unless it was verified
// whole.
static KeptPart look_at_kept_part(const std::string& part_path, const ListedFile& file)
{
    KeptPart kept = {0, false, std::string()};
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(part_path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return kept;
    PartTag tag;
    bool tagged = read_part_tag(part_path, tag);
    if (tagged && tag.validator == rebuilt_part_mark) {
        remove_part(part_path);
        return kept;
    }
    kept.size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    kept.resumable = tagged && tag.md5 == file.md5;
    kept.validator = tag.validator;
    return kept;
}

// Feeds the first `length` bytes of the part into the digests; false when they can't be read.
static bool hash_part(const std::string& part_path, uint64_t length, Receipt& receipt)
{
    HANDLE part = CreateFileA(part_path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (part == INVALID_HANDLE_VALUE)
        return false;
    bool read = true;
    while (read && receipt.digests.size < length) {
        uint64_t left = length - receipt.digests.size;
        DWORD wanted = left < receive_block_size ? DWORD(left) : receive_block_size;
        DWORD got = 0;
        read = ReadFile(part, receipt.buffer.data(), wanted, &got, NULL) && got != 0;
        if (read)
            feed_digests(receipt.digests, receipt.buffer.data(), got);
    }
    CloseHandle(part);
    return read;
}

// Going on from a part asks for its end only if the file is still the answer that began it.
static bool send_request(const DownloadSource& source, const ListedFile& file, uint64_t from,
                         const std::string& validator, HttpRequest& http, std::string& error_text)
{
    std::string url = file_url(source.base_url, file);
    std::string headers;
    if (from > 0)
        headers = "Range: bytes=" + std::to_string(from) + "-\r\nIf-Range: " + validator + "\r\n";
    return open_http_request(source.session, url, download_flags, headers, http, error_text);
}

// True when a 206 holds exactly the rest of the file as listed: from the part's end to the last
// byte of a file of the listed size. Any other numbers would splice other bytes onto the part.
static bool holds_the_rest(HINTERNET request, uint64_t from, uint64_t size)
{
    char text[128];
    DWORD text_size = sizeof(text) - 1;
    if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_RANGE, text, &text_size, NULL))
        return false;
    text[text_size < sizeof(text) ? text_size : sizeof(text) - 1] = '\0';
    ContentRange range;
    return parse_content_range(text, range) && range.first == from && range.last == size - 1 &&
           range.total == size;
}

// Opens the part file to write after its first `from` bytes; everything past them goes.
static HANDLE open_part(const std::string& part_path, uint64_t from)
{
    HANDLE part = CreateFileA(part_path.c_str(), GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (part == INVALID_HANDLE_VALUE)
        return part;
    LARGE_INTEGER position;
    position.QuadPart = LONGLONG(from);
    if (!SetFilePointerEx(part, position, NULL, FILE_BEGIN) || !SetEndOfFile(part)) {
        DWORD error = GetLastError();
        CloseHandle(part);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return part;
}

// Receives the body into `part`, feeding the digests as it arrives. A body shorter than the
// announced Content-Length counts as a lost connection: WinINet ends such a body as if it were
// complete. A body without Content-Length ends where the connection says it ends. `lost` tells a
// lost connection, whose bytes are the start of the file, from every other failure.
static bool receive_body(HINTERNET request, HANDLE part, Receipt& receipt, bool& lost,
                         std::string& error_text)
{
    uint64_t announced = 0;
    bool has_length = response_length(request, announced);
    uint64_t received = 0;
    uint64_t limit = receipt.file.size + size_tolerance;
    unsigned char* block = receipt.buffer.data();
    lost = false;
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(request, block, receive_block_size, &got)) {
            lost = true;
            error_text = "connection lost";
            return false;
        }
        if (got == 0)
            break;
        DWORD written = 0;
        if (!WriteFile(part, block, got, &written, NULL) || written != got) {
            error_text = "disk full?";
            return false;
        }
        feed_digests(receipt.digests, block, got);
        received += got;
        receipt.arrived += got;
        if (receipt.digests.size > limit) {
            error_text = "file bigger than the list says";
            return false;
        }
        receipt.progress.received(receipt.progress.context, receipt.digests.size, receipt.arrived);
    }
    if (has_length && received < announced) {
        lost = true;
        error_text = "connection lost";
        return false;
    }
    return true;
}

// Receives into the part file, flushes a whole body to the disk and closes the file. A failed
// flush or close counts like a failed write: bytes that never reached the disk would otherwise
// be placed as a verified file, and after a power cut the target's new name could reach the disk
// before its new bytes, with the cache then vouching for whatever the disk holds.
static bool receive_into(HINTERNET request, HANDLE part, Receipt& receipt, bool& lost, std::string& error_text)
{
    bool received = receive_body(request, part, receipt, lost, error_text);
    bool flushed = received && FlushFileBuffers(part);
    bool closed = CloseHandle(part) != 0;
    if (received && (!flushed || !closed)) {
        error_text = "disk full?";
        return false;
    }
    return received;
}

// A part whose bytes are not the listed file never stays. One that is stays with its tag until
// the switch moves it: an attempt that finds it whole verifies it again and keeps it without a
// request, instead of fetching the whole file anew.
static Attempt stage_verified(const std::string& part_path, Receipt& receipt, std::string& error_text)
{
    if (!verify_listed_file(receipt.file, receipt.digests, error_text)) {
        remove_part(part_path);
        return Attempt::failed;
    }
    return Attempt::staged;
}

// A part already holding the whole file needs no request; if its bytes are another file's, it
// goes and the file is fetched anew.
static Attempt keep_whole_part(const std::string& part_path, Receipt& receipt, std::string& error_text)
{
    if (!hash_part(part_path, receipt.file.size, receipt))
        return Attempt::start_over;
    std::string reason;
    if (!verify_listed_file(receipt.file, receipt.digests, reason)) {
        if (!receipt.digests.failure.empty()) {
            error_text = reason;
            return Attempt::failed;
        }
        remove_part(part_path);
        return Attempt::start_over;
    }
    if (!flush_part(part_path, error_text))
        return Attempt::failed;
    return Attempt::staged;
}

// Receives an answer whose body goes into the part after its first `from` bytes.
static Attempt receive_answer(const DownloadSource& source, const std::string& target,
                              const std::string& part_path, HttpRequest& http, uint64_t from, Receipt& receipt,
                              std::string& error_text)
{
    create_folders(source.folder, target);
    HANDLE part = open_part(part_path, from);
    if (part == INVALID_HANDLE_VALUE) {
        error_text = part_failure_text(GetLastError(), part_path);
        return Attempt::failed;
    }
    bool tagged = from > 0 || receipt.file.size >= resume_min_size;
    if (from == 0 && tagged) {
        std::string validator;
        response_validator(http.request, validator);
        write_part_tag(part_path, PartTag{receipt.file.md5, validator});
    }
    bool lost = false;
    if (!receive_into(http.request, part, receipt, lost, error_text)) {
        if (!lost || receipt.digests.size == 0 || !tagged)
            remove_part(part_path);
        return Attempt::failed;
    }
    return stage_verified(part_path, receipt, error_text);
}

// One attempt at the file. With `use_kept`, a part an earlier attempt left is kept when whole,
// and gone on from when it is the start of the same answer; an answer that does not hold exactly
// the rest of the file makes the caller start over once, from the first byte.
static Attempt attempt_file(const DownloadSource& source, const std::string& target, const std::string& part_path,
                            bool use_kept, Receipt& receipt, std::string& error_text)
{
    uint64_t from = 0;
    std::string validator;
    if (use_kept) {
        KeptPart kept = look_at_kept_part(part_path, receipt.file);
        if (kept.size > 0 && kept.size == receipt.file.size)
            return keep_whole_part(part_path, receipt, error_text);
        if (kept.size > 0 && kept.size < receipt.file.size && kept.resumable) {
            if (!hash_part(part_path, kept.size, receipt))
                return Attempt::start_over;
            from = kept.size;
            validator = kept.validator;
        }
    }
    HttpRequest http;
    if (!send_request(source, receipt.file, from, validator, http, error_text))
        return Attempt::failed;
    unsigned long status = response_status(http.request);
    Attempt outcome = Attempt::start_over;
    if (from > 0 && status == status_partial && holds_the_rest(http.request, from, receipt.file.size)) {
        outcome = receive_answer(source, target, part_path, http, from, receipt, error_text);
    } else if (from == 0 && status == status_ok) {
        outcome = receive_answer(source, target, part_path, http, from, receipt, error_text);
    } else if (from == 0) {
        error_text = status_failure_text(status);
        outcome = Attempt::failed;
    }
    close_http_request(http);
    return outcome;
}

bool download_file(const DownloadSource& source, const ListedFile& file, const std::string& target,
                   const TransferSink& progress, std::string& error_text)
{
    Receipt receipt = {file, progress, std::vector<unsigned char>(receive_block_size), {}, 0};
    std::string part_path = target + ".part";
    Attempt outcome = Attempt::start_over;
    for (int round = 0; round < 2 && outcome == Attempt::start_over; ++round) {
        begin_digests(file, receipt.digests);
        outcome = attempt_file(source, target, part_path, round == 0, receipt, error_text);
    }
    release_digests(receipt.digests);
    return outcome == Attempt::staged;
}
