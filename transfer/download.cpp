// The download of one listed file: request, status, folders, the ".part" file, receipt with a
// running digest and progress reports, verification, and the move over the target.
#include "transfer/download.h"

#include <cstdio>
#include <vector>

#include "transfer/http_request.h"
#include "transfer/http_response.h"
#include "transfer/md5.h"
#include "transfer/url.h"

// RELOAD | NO_CACHE_WRITE | NO_UI: always from the origin, never a dialog; the digest in the
// query already makes every version's URL its own, so no no-cache pragma is sent.
static const DWORD download_flags = 0x84000200;
static const DWORD receive_block_size = 65536;
static const uint64_t size_tolerance = 1048576;  // bytes past the listed size before giving up
static const unsigned long status_ok = 200;
static const size_t digest_length = 32;

// The state of one call while the body arrives; the buffer is the call's own.
struct Receipt {
    const UpdateEntry& entry;
    const TransferSink& progress;
    std::vector<unsigned char> buffer;
    uint64_t received;  // bytes of this file so far
    Md5Context md5;
};

static bool open_request(const DownloadSource& source, const UpdateEntry& entry, HttpRequest& http,
                         std::string& error_text)
{
    std::string url = source.base_url + percent_encode(entry.path) + "?v=" + entry.md5;
    return open_http_request(source.session, url, download_flags, http, error_text);
}

static bool check_status(HINTERNET request, std::string& error_text)
{
    unsigned long status = response_status(request);
    if (status != status_ok) {
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

// Receives the body into `part`, feeding the digest as it arrives. A body shorter than the
// announced Content-Length counts as a lost connection: WinINet ends such a body as if it were
// complete. A body without Content-Length ends where the connection says it ends.
static bool receive_body(HINTERNET request, FILE* part, Receipt& receipt, std::string& error_text)
{
    uint64_t announced = 0;
    bool has_length = response_length(request, announced);
    uint64_t limit = receipt.entry.size + size_tolerance;
    unsigned char* block = receipt.buffer.data();
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(request, block, receive_block_size, &got)) {
            error_text = "connection lost";
            return false;
        }
        if (got == 0)
            break;
        if (fwrite(block, 1, got, part) != got) {
            error_text = "disk full?";
            return false;
        }
        md5_update(receipt.md5, block, got);
        receipt.received += got;
        if (receipt.received > limit) {
            error_text = "file bigger than the list says";
            return false;
        }
        receipt.progress.received(receipt.progress.context, receipt.received, receipt.received);
    }
    if (has_length && receipt.received < announced) {
        error_text = "connection lost";
        return false;
    }
    return true;
}

static bool verify(Receipt& receipt, std::string& error_text)
{
    std::string digest = md5_final(receipt.md5);
    if (receipt.received != receipt.entry.size || receipt.entry.md5.size() != digest_length ||
        receipt.entry.md5 != digest) {
        error_text = "file damaged on the way";
        return false;
    }
    return true;
}

// Most targets are plain files that the move replaces at once. Windows refuses to move over a
// read-only one (wine does not), so a refused move clears the target's attributes and tries once
// more. Any refusal left is a file held open, by the game as a rule.
static bool place_file(const std::string& part_path, const std::string& target,
                       std::string& error_text)
{
    if (MoveFileExA(part_path.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (MoveFileExA(part_path.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    error_text = "the file is in use - close the game first";
    return false;
}

// Receives into the open part file and closes it. A failed close counts like a failed write:
// buffered bytes that never reached the disk would otherwise be placed as a verified file.
static bool receive_into(HINTERNET request, FILE* part, Receipt& receipt, std::string& error_text)
{
    bool received = receive_body(request, part, receipt, error_text);
    bool closed = fclose(part) == 0;
    if (received && !closed) {
        error_text = "disk full?";
        return false;
    }
    return received;
}

bool download_file(const DownloadSource& source, const UpdateEntry& entry, const std::string& target,
                   const TransferSink& progress, std::string& error_text)
{
    HttpRequest http;
    if (!open_request(source, entry, http, error_text))
        return false;
    if (!check_status(http.request, error_text)) {
        close_http_request(http);
        return false;
    }
    create_folders(source.folder, target);
    std::string part_path = target + ".part";
    FILE* part = fopen(part_path.c_str(), "wb");
    if (part == NULL) {
        close_http_request(http);
        error_text = "can't write " + part_path;
        return false;
    }
    Receipt receipt = {entry, progress, std::vector<unsigned char>(receive_block_size), 0, {}};
    md5_init(receipt.md5);
    bool ok = receive_into(http.request, part, receipt, error_text);
    close_http_request(http);
    if (ok)
        ok = verify(receipt, error_text);
    if (ok)
        ok = place_file(part_path, target, error_text);
    if (!ok)
        DeleteFileA(part_path.c_str());
    return ok;
}
