// Renumbering a published list for a rollback. Its lines are kept byte for byte, so that what
// players get is exactly what the old release was; only its number changes, and the launcher's
// own readers judge the result before it is signed.
#include "tools/publishing/rollback_list.h"

#include <cstring>

#include "update_list/list_line.h"
#include "update_list/list_signature.h"
#include "update_list/signed_list.h"
#include "update_list/update_list.h"

static const char sequence_key[] = "Sequence=";
static const char version_key[] = "Version=";

static bool starts_with(const ListLine& line, const char* key)
{
    size_t length = std::strlen(key);
    return line.length >= length && std::memcmp(line.begin, key, length) == 0;
}

bool check_old_signature(const std::string& old_text, const std::string& public_xy, std::string& error_text)
{
    ListSignature found;
    std::string reason;
    if (!find_list_signature(old_text, found, reason) ||
        !verify_list_signature(public_xy, old_text.data(), found.signed_length, found.signature, reason)) {
        error_text = "fails its signature check under this key: " + reason;
        return false;
    }
    return true;
}

// Replaces the Sequence line of `text`, or adds one after the first Version line (at the top
// when there is none).
static std::string with_sequence(const std::string& text, uint64_t sequence)
{
    std::string number_line = sequence_key + std::to_string(sequence) + "\n";
    std::string out;
    bool placed = false;
    const char* at = text.data();
    const char* end = at + text.size();
    size_t version_end = 0;
    bool has_version = false;
    ListLine line;
    while (at < end) {
        const char* line_start = at;
        next_list_line(at, end, line);
        std::string raw(line_start, at);
        if (!placed && starts_with(line, sequence_key)) {
            raw = number_line;
            placed = true;
        }
        out += raw;
        if (!has_version && starts_with(line, version_key)) {
            has_version = true;
            version_end = out.size();
        }
    }
    if (!placed) {
        if (version_end > 0 && out[version_end - 1] != '\n') {
            out.insert(version_end++, "\n");
        }
        out.insert(version_end, number_line);
    }
    return out;
}

bool renumber_signed_list(const std::string& old_text, uint64_t sequence, std::string& text,
                          std::string& error_text)
{
    ListSignature found;
    std::string unsigned_reason;
    std::string old_signed = find_list_signature(old_text, found, unsigned_reason)
                                 ? old_text.substr(0, found.signed_length)
                                 : old_text;
    UpdateList list;
    if (!parse_update_list(old_signed.c_str(), list)) {
        error_text = "it holds neither a Version line nor a file line";
        return false;
    }
    uint64_t old_sequence = 0;
    std::string reason;
    if (!read_signed_lines(old_signed, list.files, old_sequence, reason)) {
        error_text = "can't be signed again as it is: " + reason;
        return false;
    }
    if (sequence <= old_sequence) {
        error_text = "Sequence=" + std::to_string(sequence) + " is not above Sequence=" +
                     std::to_string(old_sequence) + " of that list";
        return false;
    }
    text = with_sequence(old_signed, sequence);
    return true;
}
