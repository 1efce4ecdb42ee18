// The download of one listed file: the ".part" file kept from an earlier attempt, the request for
// what is still missing, receipt with running digests and progress reports, verification, and the
// move over the target.
#include "transfer/download.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "digest/md5.h"
#include "digest/sha256.h"
#include "transfer/http_request.h"
#include "transfer/http_response.h"
#include "transfer/url.h"

// RELOAD | NO_CACHE_WRITE | NO_UI: always from the origin, never a dialog; the digest in the
// query already makes every version's URL its own, so no no-cache pragma is sent.
static const DWORD download_flags = 0x84000200;
static const DWORD receive_block_size = 65536;
static const uint64_t size_tolerance = 1048576;  // bytes past the listed size before giving up
static const unsigned long status_ok = 200;
static const unsigned long status_partial = 206;
static const size_t digest_length = 32;

// The state of one call; the buffer and the digests are the call's own. The SHA-256 runs only
// for an entry of a signed list, which names one.
struct Receipt {
    const ListedFile& entry;
    const TransferSink& progress;
    std::vector<unsigned char> buffer;
    uint64_t on_hand;         // bytes of the file in the part file so far
    uint64_t arrived;         // of those, the bytes received in this call
    Md5Context md5;
    Sha256Context sha256;     // open while bytes are fed, when the entry has a SHA-256
    std::string hash_failure; // why the system could not hash, when it could not
};

// How an attempt that did not succeed leaves its part file.
enum class PartFate { kept, deleted };

static bool has_sha256(const Receipt& receipt)
{
    return !receipt.entry.sha256.empty();
}

static void start_digests(Receipt& receipt)
{
    receipt.on_hand = 0;
    md5_init(receipt.md5);
    sha256_release(receipt.sha256);
    receipt.hash_failure.clear();
    if (has_sha256(receipt))
        sha256_begin(receipt.sha256, receipt.hash_failure);
}

static void feed_digests(Receipt& receipt, const unsigned char* bytes, DWORD length)
{
    md5_update(receipt.md5, bytes, length);
    if (has_sha256(receipt) && receipt.hash_failure.empty() &&
        !sha256_update(receipt.sha256, bytes, length, receipt.hash_failure))
        sha256_release(receipt.sha256);
    receipt.on_hand += length;
}

static uint64_t file_size(HANDLE file)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size))
        return 0;
    return uint64_t(size.QuadPart);
}

// The bytes a part file of an earlier attempt holds: read again through the digests, so the
// download can go on after them. A part longer than the listed size can't be the start of the
// file and is deleted; one that can't be read counts as none.
static void continue_kept_part(const std::string& part_path, Receipt& receipt)
{
    start_digests(receipt);
    HANDLE part = CreateFileA(part_path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (part == INVALID_HANDLE_VALUE)
        return;
    uint64_t kept = file_size(part);
    if (kept > receipt.entry.size) {
        CloseHandle(part);
        DeleteFileA(part_path.c_str());
        return;
    }
    while (receipt.on_hand < kept) {
        DWORD got = 0;
        if (!ReadFile(part, receipt.buffer.data(), receive_block_size, &got, NULL) || got == 0) {
            start_digests(receipt);
            break;
        }
        feed_digests(receipt, receipt.buffer.data(), got);
    }
    CloseHandle(part);
}

static bool send_request(const DownloadSource& source, const ListedFile& entry, uint64_t from,
                         HttpRequest& http, std::string& error_text)
{
    std::string url = file_url(source.base_url, entry.path, entry.md5);
    std::string headers;
    if (from > 0)
        headers = "Range: bytes=" + std::to_string(from) + "-\r\n";
    return open_http_request(source.session, url, download_flags, headers, http, error_text);
}

// True when a 206 answer carries the bytes from `from` on ("bytes FROM-LAST/SIZE").
static bool continues_at(HINTERNET request, uint64_t from)
{
    char text[128];
    DWORD size = sizeof(text);
    if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_RANGE, text, &size, NULL))
        return false;
    text[size < sizeof(text) ? size : sizeof(text) - 1] = '\0';
    const char prefix[] = "bytes ";
    if (strncmp(text, prefix, sizeof(prefix) - 1) != 0)
        return false;
    const char* digits = text + sizeof(prefix) - 1;
    if (*digits < '0' || *digits > '9')
        return false;
    return _strtoui64(digits, NULL, 10) == from;
}

// Asks for the bytes after those on hand. A 206 from exactly there continues the part; a 200 is
// the whole file and starts it over; any other answer to a ranged request starts over once with
// a plain request. True with a body to receive and `receipt` set to where it goes on.
static bool open_download(const DownloadSource& source, Receipt& receipt, HttpRequest& http,
                          std::string& error_text)
{
    uint64_t from = receipt.on_hand;
    if (!send_request(source, receipt.entry, from, http, error_text))
        return false;
    unsigned long status = response_status(http.request);
    if (from > 0) {
        if (status == status_partial && continues_at(http.request, from))
            return true;
        start_digests(receipt);
        if (status == status_ok)
            return true;
        close_http_request(http);
        if (!send_request(source, receipt.entry, 0, http, error_text))
            return false;
        status = response_status(http.request);
    }
    if (status != status_ok) {
        close_http_request(http);
        error_text = status_failure_text(status);
        return false;
    }
    return true;
}

// Creates the folders of `target` level by level below the game folder, which is never created
// itself. Failures show up when the part file can't be opened.
static void create_folders(const std::string& folder, const std::string& target)
{
    size_t first = folder.size();
    for (size_t i = first; i < target.size(); ++i) {
        if (target[i] == '\\')
            CreateDirectoryA(target.substr(0, i).c_str(), NULL);
    }
}

// Opens the part file to write after the bytes on hand; everything past them goes.
static HANDLE open_part(const std::string& part_path, uint64_t on_hand)
{
    HANDLE part = CreateFileA(part_path.c_str(), GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (part == INVALID_HANDLE_VALUE)
        return part;
    LARGE_INTEGER position;
    position.QuadPart = LONGLONG(on_hand);
    if (!SetFilePointerEx(part, position, NULL, FILE_BEGIN) || !SetEndOfFile(part)) {
        CloseHandle(part);
        return INVALID_HANDLE_VALUE;
    }
    return part;
}

// Receives the body into `part`, feeding the digests as it arrives. A body shorter than the
// announced Content-Length counts as a lost connection: WinINet ends such a body as if it were
// complete. A body without Content-Length ends where the connection says it ends. Only a lost
// connection keeps what arrived: it is the start of the file, and the next attempt goes on there.
static bool receive_body(HINTERNET request, HANDLE part, Receipt& receipt, PartFate& fate,
                         std::string& error_text)
{
    uint64_t announced = 0;
    bool has_length = response_length(request, announced);
    uint64_t limit = receipt.entry.size + size_tolerance;
    unsigned char* block = receipt.buffer.data();
    fate = PartFate::deleted;
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(request, block, receive_block_size, &got)) {
            fate = PartFate::kept;
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
        feed_digests(receipt, block, got);
        receipt.arrived += got;
        if (receipt.on_hand > limit) {
            error_text = "file bigger than the list says";
            return false;
        }
        receipt.progress.received(receipt.progress.context, receipt.on_hand, receipt.arrived);
    }
    if (has_length && receipt.arrived < announced) {
        fate = PartFate::kept;
        error_text = "connection lost";
        return false;
    }
    return true;
}

// Receives into the part file, flushes a whole body to the disk and closes the file. A failed
// flush or close counts like a failed write: bytes that never reached the disk would otherwise
// be placed as a verified file, and after a power cut the target's new name could reach the disk
// before its new bytes, with the cache then vouching for whatever the disk holds.
static bool receive_into(HINTERNET request, HANDLE part, Receipt& receipt, PartFate& fate,
                         std::string& error_text)
{
    bool received = receive_body(request, part, receipt, fate, error_text);
    bool flushed = received && FlushFileBuffers(part);
    bool closed = CloseHandle(part) != 0;
    if (received && (!flushed || !closed)) {
        error_text = "disk full?";
        return false;
    }
    return received;
}

// A part left whole by an earlier process is flushed before it is placed, like any other.
static bool flush_kept_part(const std::string& part_path, std::string& error_text)
{
    HANDLE part = CreateFileA(part_path.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    bool flushed = part != INVALID_HANDLE_VALUE && FlushFileBuffers(part);
    if (part != INVALID_HANDLE_VALUE && !CloseHandle(part))
        flushed = false;
    if (!flushed)
        error_text = "disk full?";
    return flushed;
}

// Completes the digests: afterwards they must be started again before more bytes are fed. A
// signed list's entry must match its SHA-256 as well; MD5 alone can be forged by a collision.
static bool matches_entry(Receipt& receipt)
{
    std::string md5 = md5_final(receipt.md5);
    bool matches = receipt.on_hand == receipt.entry.size &&
                   receipt.entry.md5.size() == digest_length && receipt.entry.md5 == md5;
    if (!has_sha256(receipt) || !receipt.hash_failure.empty())
        return matches;
    std::string sha256;
    return sha256_final(receipt.sha256, sha256, receipt.hash_failure) && matches &&
           sha256 == receipt.entry.sha256;
}

// A file the system could not hash is not verified either; the reason says why.
static bool verify(Receipt& receipt, std::string& error_text)
{
    bool matches = matches_entry(receipt);
    if (!receipt.hash_failure.empty()) {
        error_text = receipt.hash_failure;
        return false;
    }
    if (!matches) {
        error_text = "file damaged on the way";
        return false;
    }
    return true;
}

// Most targets are plain files that the move replaces at once. Windows refuses to move over a
// read-only one (wine does not), so a refused move clears the target's attributes and tries once
// more. Any refusal left is a file held open, by the game as a rule. The move is written
// through, so that it is on the disk before the cache records the file.
static bool place_file(const std::string& part_path, const std::string& target,
                       std::string& error_text)
{
    const DWORD move_flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (MoveFileExA(part_path.c_str(), target.c_str(), move_flags))
        return true;
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (MoveFileExA(part_path.c_str(), target.c_str(), move_flags))
        return true;
    error_text = "the file is in use - close the game first";
    return false;
}

// Fetches the bytes the part file still lacks.
static bool fetch_rest(const DownloadSource& source, const std::string& target,
                       const std::string& part_path, Receipt& receipt, PartFate& fate,
                       std::string& error_text)
{
    fate = PartFate::kept;
    HttpRequest http;
    if (!open_download(source, receipt, http, error_text))
        return false;
    create_folders(source.folder, target);
    HANDLE part = open_part(part_path, receipt.on_hand);
    if (part == INVALID_HANDLE_VALUE) {
        close_http_request(http);
        error_text = "can't write " + part_path;
        return false;
    }
    bool ok = receive_into(http.request, part, receipt, fate, error_text);
    close_http_request(http);
    return ok;
}

// An empty part would only ever be continued from its first byte: it is not worth keeping.
static bool is_empty_file(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) &&
           data.nFileSizeHigh == 0 && data.nFileSizeLow == 0;
}

// Everything of one call but the release of its digests.
static bool place_verified_file(const DownloadSource& source, const std::string& target,
                                const std::string& part_path, Receipt& receipt,
                                std::string& error_text)
{
    continue_kept_part(part_path, receipt);
    // A part that already holds the whole file, left by an attempt that ended between its last
    // byte and its move, needs no request at all; one of the listed size with other bytes is
    // fetched anew.
    if (receipt.on_hand == receipt.entry.size && receipt.on_hand > 0) {
        if (matches_entry(receipt)) {
            if (flush_kept_part(part_path, error_text) && place_file(part_path, target, error_text))
                return true;
            DeleteFileA(part_path.c_str());
            return false;
        }
        start_digests(receipt);
    }
    PartFate fate = PartFate::kept;
    if (!fetch_rest(source, target, part_path, receipt, fate, error_text)) {
        if (fate == PartFate::deleted || is_empty_file(part_path))
            DeleteFileA(part_path.c_str());
        return false;
    }
    if (!verify(receipt, error_text) || !place_file(part_path, target, error_text)) {
        DeleteFileA(part_path.c_str());
        return false;
    }
    return true;
}

bool download_file(const DownloadSource& source, const ListedFile& entry, const std::string& target,
                   const TransferSink& progress, std::string& error_text)
{
    Receipt receipt = {entry, progress, std::vector<unsigned char>(receive_block_size), 0, 0, {},
                       {nullptr, nullptr}, std::string()};
    bool placed = place_verified_file(source, target, target + ".part", receipt, error_text);
    sha256_release(receipt.sha256);
    return placed;
}
