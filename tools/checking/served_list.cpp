// The update list served at a release's address and the release number it carries: what
// make_manifest --above and verify --next hold a new release against.
#include "tools/checking/served_list.h"

#include <chrono>
#include <cstring>

#include "tools/whole_file.h"
#include "transfer/url.h"
#include "update_list/decimal.h"
#include "update_list/list_line.h"
#include "update_list/signed_list.h"

static const unsigned long status_ok = 200;
static const unsigned long status_not_found = 404;
// The launcher refuses a longer list.
static const uint64_t list_limit = 16 * 1024 * 1024;

// What the list fetch hands back from its connection.
struct ListFetch {
    HttpAsk ask;
    HttpAnswer answer;
    bool answered;
};

bool read_release_url(const std::string& value, std::string& base_url)
{
    if (value.compare(0, 7, "http://") != 0 && value.compare(0, 8, "https://") != 0) {
        return false;
    }
    base_url = value;
    if (base_url.back() != '/') {
        base_url += '/';
    }
    return true;
}

static void fetch_on_connection(void* context, HttpClient& client)
{
    ListFetch& fetch = *static_cast<ListFetch*>(context);
    fetch.answered = http_get(client, fetch.ask, fetch.answer);
}

static void no_progress(void*)
{
}

// A fresh stamp on every run, as every launcher pass has one, so no cache answers for the server.
static uint64_t fresh_stamp()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

bool fetch_served_list(const std::string& base_url, bool& answered, HttpAnswer& answer, std::string& error_text)
{
    ListFetch fetch;
    fetch.ask = {list_url(base_url, fresh_stamp()), {}, true, BodyUse::keep, list_limit, {nullptr, nullptr}};
    fetch.answered = false;
    if (!run_connections(1, ConnectionWork{fetch_on_connection, no_progress, &fetch}, error_text)) {
        return false;
    }
    answered = fetch.answered;
    answer = fetch.answer;
    return true;
}

bool find_list_sequence(const std::string& text, uint64_t& sequence)
{
    static const char sequence_key[] = "Sequence=";
    const size_t key_length = sizeof sequence_key - 1;
    ListSignature found;
    std::string unsigned_reason;
    size_t length = find_list_signature(text, found, unsigned_reason) ? found.signed_length : text.size();
    const char* at = text.data();
    const char* end = at + length;
    ListLine line;
    while (next_list_line(at, end, line)) {
        if (line.length > key_length && std::memcmp(line.begin, sequence_key, key_length) == 0 &&
            read_decimal_digits(line.begin + key_length, line.length - key_length, sequence)) {
            return true;
        }
    }
    return false;
}

static bool check_above(uint64_t sequence, uint64_t held, const std::string& where, std::string& error_text)
{
    if (sequence > held) {
        return true;
    }
    error_text = "Sequence=" + std::to_string(sequence) + " is not above Sequence=" + std::to_string(held) + " of " +
                 where + ": launchers that accepted that list would refuse this one";
    return false;
}

bool check_sequence_above_file(const std::string& file, uint64_t sequence, std::string& error_text)
{
    std::string text;
    std::string unread;
    uint64_t held = 0;
    if (!read_whole_file(file, text, unread) || !find_list_sequence(text, held)) {
        return true;
    }
    return check_above(sequence, held, "the list in " + file, error_text);
}

bool check_sequence_above_served(const std::string& base_url, uint64_t sequence, std::string& error_text)
{
    bool answered = false;
    HttpAnswer answer;
    std::string where = "the list served at " + base_url;
    if (!fetch_served_list(base_url, answered, answer, error_text)) {
        error_text = "can't fetch " + where + ": " + error_text;
        return false;
    }
    if (!answered) {
        error_text = "can't fetch " + where + ": " + answer.failure + "; without it the Sequence would be chosen blind";
        return false;
    }
    if (answer.status == status_not_found) {
        return true;
    }
    if (answer.status != status_ok) {
        error_text = "can't fetch " + where + ": the server answered " + std::to_string(answer.status) +
                     "; without it the Sequence would be chosen blind";
        return false;
    }
    uint64_t held = 0;
    return !find_list_sequence(answer.body, held) || check_above(sequence, held, where, error_text);
}
