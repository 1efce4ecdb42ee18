// A single-range request of a listed file and the receipt of its body into a sink.
#include "transfer/range_fetch.h"

#include <vector>

#include "transfer/content_range.h"
#include "transfer/http_request.h"
#include "transfer/http_response.h"
#include "transfer/url.h"

// RELOAD | NO_CACHE_WRITE | NO_UI, as for a whole download: the "?v=" names the version.
static const DWORD range_flags = 0x84000200;
static const DWORD receive_block_size = 65536;
static const unsigned long status_partial = 206;

// A body announced longer or shorter than its Content-Range is no answer to the range either,
// whatever its first bytes.
static bool answers_the_range(HINTERNET request, uint64_t first, uint64_t last, uint64_t size)
{
    char text[128];
    DWORD text_size = sizeof(text) - 1;
    uint64_t announced = 0;
    if (response_status(request) != status_partial ||
        (response_length(request, announced) && announced != last - first + 1) ||
        !HttpQueryInfoA(request, HTTP_QUERY_CONTENT_RANGE, text, &text_size, NULL))
        return false;
    text[text_size < sizeof(text) ? text_size : sizeof(text) - 1] = '\0';
    ContentRange range;
    return parse_content_range(text, range) && range.first == first && range.last == last && range.total == size;
}

// A body that ends before the range's last byte is a lost connection: WinINet ends such a body
// as if it were complete. One without an announced length must end right after the range.
static RangeAnswer receive_range(HINTERNET request, uint64_t offset, uint64_t length, const RangeSink& sink,
                                 std::string& error_text)
{
    std::vector<unsigned char> block(receive_block_size);
    uint64_t received = 0;
    while (received < length) {
        DWORD got = 0;
        if (!InternetReadFile(request, block.data(), receive_block_size, &got) || got == 0) {
            error_text = "connection lost";
            return RangeAnswer::failed;
        }
        if (got > length - received) {
            error_text = "answer longer than the range";
            return RangeAnswer::refused;
        }
        if (!sink.write(sink.context, offset + received, block.data(), got)) {
            error_text = "disk full?";
            return RangeAnswer::failed;
        }
        received += got;
    }
    DWORD got = 0;
    if (InternetReadFile(request, block.data(), 1, &got) && got != 0) {
        error_text = "answer longer than the range";
        return RangeAnswer::refused;
    }
    return RangeAnswer::received;
}

RangeAnswer fetch_range(const DownloadSource& source, const ListedFile& file, uint64_t offset, uint64_t length,
                        std::string& validator, const RangeSink& sink, std::string& error_text)
{
    uint64_t last = offset + length - 1;
    std::string url = file_url(source.base_url, file);
    std::string headers = "Range: bytes=" + std::to_string(offset) + "-" + std::to_string(last) + "\r\n";
    if (!validator.empty())
        headers += "If-Range: " + validator + "\r\n";
    HttpRequest http;
    if (!open_http_request(source.session, url, range_flags, headers, http, error_text))
        return RangeAnswer::failed;
    RangeAnswer answer = RangeAnswer::refused;
    if (!answers_the_range(http.request, offset, last, file.size)) {
        error_text = "not the range asked for";
    } else {
        if (validator.empty())
            response_validator(http.request, validator);
        answer = receive_range(http.request, offset, length, sink, error_text);
    }
    close_http_request(http);
    return answer;
}
