// Reading the signed additions to the update list. A launcher without a key never calls this:
// its parser ignores all of these lines.
#include "update_list/signed_list.h"

#include <cstring>
#include <string_view>
#include <unordered_map>

#include "update_list/base64.h"
#include "update_list/decimal.h"
#include "update_list/hex_text.h"
#include "update_list/list_line.h"

const size_t list_signature_length = 64;
const size_t list_public_key_length = 64;

static const char signature_key[] = "Signature=";
static const size_t signature_key_length = sizeof signature_key - 1;
static const char sequence_key[] = "Sequence=";
static const size_t sequence_key_length = sizeof sequence_key - 1;
static const char next_key_key[] = "NextKey=";
static const size_t next_key_key_length = sizeof next_key_key - 1;
static const char hash_prefix[] = "H|";
static const size_t hash_prefix_length = sizeof hash_prefix - 1;
static const size_t sha256_text_length = 64;

// The offset of the first line that starts with "Signature=", or npos.
static size_t first_signature_line(const std::string& text)
{
    size_t at = text.find(signature_key);
    while (at != std::string::npos && at != 0 && text[at - 1] != '\n') {
        at = text.find(signature_key, at + 1);
    }
    return at;
}

static bool only_line_ends(const std::string& text, size_t from)
{
    return text.find_first_not_of("\r\n", from) == std::string::npos;
}

bool list_signature_sizes_fit(const std::string& public_key_xy, const std::string& signature_rs,
                              std::string& error_text)
{
    if (public_key_xy.size() != list_public_key_length) {
        error_text = "the public key is not 64 bytes";
        return false;
    }
    if (signature_rs.size() != list_signature_length) {
        error_text = "the signature is not 64 bytes";
        return false;
    }
    return true;
}

bool find_list_signature(const std::string& text, ListSignature& found, std::string& error_text)
{
    size_t start = first_signature_line(text);
    if (start == std::string::npos) {
        error_text = "no signature";
        return false;
    }
    const char* at = text.data() + start;
    const char* end = text.data() + text.size();
    ListLine line;
    next_list_line(at, end, line);
    if (!only_line_ends(text, static_cast<size_t>(at - text.data()))) {
        error_text = "the signature is not the last line";
        return false;
    }
    std::string signature;
    if (!decode_base64(line.begin + signature_key_length, line.length - signature_key_length, signature) ||
        signature.size() != list_signature_length) {
        error_text = "a garbled signature line";
        return false;
    }
    found.signed_length = start;
    found.signature = signature;
    return true;
}

static bool starts_with(ListLine line, const char* prefix, size_t prefix_length)
{
    return line.length >= prefix_length && std::memcmp(line.begin, prefix, prefix_length) == 0;
}

// Takes the digest and path of a well-formed "H|<64 hex>|<path>" line; false for any other line.
static bool read_hash_line(ListLine line, const char*& sha256, std::string_view& path)
{
    size_t bar = hash_prefix_length + sha256_text_length;
    if (!starts_with(line, hash_prefix, hash_prefix_length) || line.length <= bar || line.begin[bar] != '|' ||
        !is_lower_hex_text(line.begin + hash_prefix_length, sha256_text_length)) {
        return false;
    }
    sha256 = line.begin + hash_prefix_length;
    path = std::string_view(line.begin + bar + 1, line.length - bar - 1);
    return true;
}

// What a walk over the signed lines does with each well-formed "H|" line, in list order; false
// ends the walk there.
struct HashLineSink {
    bool (*take)(void* context, const char* sha256, std::string_view path);
    void* context;
};

// Reads the one "Sequence" line into `sequence` and hands every well-formed "H|" line to `sink`
// until it refuses one. False with the reason when the Sequence line is garbled.
static bool walk_signed_lines(const std::string& signed_text, HashLineSink sink, uint64_t& sequence,
                              std::string& error_text)
{
    const char* at = signed_text.c_str();
    const char* end = at + std::strlen(at);
    bool has_sequence = false;
    ListLine line;
    const char* sha256 = nullptr;
    std::string_view path;
    while (next_list_line(at, end, line)) {
        if (starts_with(line, sequence_key, sequence_key_length)) {
            if (has_sequence ||
                !read_decimal_digits(line.begin + sequence_key_length, line.length - sequence_key_length, sequence)) {
                error_text = "a garbled Sequence line";
                return false;
            }
            has_sequence = true;
            continue;
        }
        if (read_hash_line(line, sha256, path) && !sink.take(sink.context, sha256, path)) {
            return true;
        }
    }
    return true;
}

// The order make_manifest writes: each entry's "H|" line after it, the entries sorted byte-wise.
// Then every "H|" line names the next entry, and matching it takes one comparison of two paths
// that are near in memory, where looking each path up by its bytes costs a cache miss or two on a
// list of 50,000 entries. The match holds only while the "H|" lines name the entries one each, in
// their order, and the paths strictly rise: no path is then listed twice, so once every entry is
// named, `digests` (one per entry) are what the lookup by path would give.
struct OrderedMatch {
    const std::vector<UpdateEntry>& files;
    std::vector<const char*>& digests;
    bool in_order;
};

static bool match_next_entry(void* context, const char* sha256, std::string_view path)
{
    OrderedMatch& match = *static_cast<OrderedMatch*>(context);
    size_t next = match.digests.size();
    if (next == match.files.size() || path != match.files[next].path ||
        (next > 0 && !(std::string_view(match.files[next - 1].path) < path))) {
        match.in_order = false;
        return false;
    }
    match.digests.push_back(sha256);
    return true;
}

// The digests of the listed paths for a list in any other order: one slot per distinct path,
// found by the path's bytes, and each entry's slot, so that duplicates share one digest. Keys and
// digests point into the entries and the list text: a big list would otherwise spend more on
// copying strings than on reading them.
struct DigestSlots {
    std::unordered_map<std::string_view, size_t> slot_of_path;
    std::vector<size_t> slot_of_entry;
    std::vector<const char*> digest_of_slot;  // 64 hex digits in the list text; null until named
    bool named_twice;                         // a listed path got two different digests
    std::string_view twice_named_path;
};

static void make_slots(const std::vector<UpdateEntry>& files, DigestSlots& slots)
{
    slots.slot_of_path.reserve(files.size());
    slots.slot_of_entry.reserve(files.size());
    slots.named_twice = false;
    for (const UpdateEntry& entry : files) {
        auto slot = slots.slot_of_path.emplace(entry.path, slots.digest_of_slot.size());
        if (slot.second) {
            slots.digest_of_slot.push_back(nullptr);
        }
        slots.slot_of_entry.push_back(slot.first->second);
    }
}

// "H|" lines for paths that are not listed cost nothing more.
static bool match_by_path(void* context, const char* sha256, std::string_view path)
{
    DigestSlots& slots = *static_cast<DigestSlots*>(context);
    auto listed = slots.slot_of_path.find(path);
    if (listed == slots.slot_of_path.end()) {
        return true;
    }
    const char*& digest = slots.digest_of_slot[listed->second];
    if (digest != nullptr && std::memcmp(digest, sha256, sha256_text_length) != 0) {
        slots.named_twice = true;
        slots.twice_named_path = path;
        return false;
    }
    digest = sha256;
    return true;
}

// `digests` gets one per entry, null where no line names it.
static bool read_lines_by_path(const std::string& signed_text, const std::vector<UpdateEntry>& files,
                               std::vector<const char*>& digests, uint64_t& sequence, std::string& error_text)
{
    DigestSlots slots;
    make_slots(files, slots);
    if (!walk_signed_lines(signed_text, HashLineSink{match_by_path, &slots}, sequence, error_text)) {
        return false;
    }
    if (slots.named_twice) {
        error_text = "two SHA-256 lines for " + std::string(slots.twice_named_path);
        return false;
    }
    digests.clear();
    for (size_t slot : slots.slot_of_entry) {
        digests.push_back(slots.digest_of_slot[slot]);
    }
    return true;
}

bool read_signed_lines(const std::string& signed_text, std::vector<UpdateEntry>& files, uint64_t& sequence,
                       std::string& error_text)
{
    std::vector<const char*> digests;
    digests.reserve(files.size());
    uint64_t number = 0;
    OrderedMatch ordered = {files, digests, true};
    if (!walk_signed_lines(signed_text, HashLineSink{match_next_entry, &ordered}, number, error_text)) {
        return false;
    }
    if (!ordered.in_order || digests.size() != files.size()) {
        number = 0;
        if (!read_lines_by_path(signed_text, files, digests, number, error_text)) {
            return false;
        }
    }
    for (size_t i = 0; i < files.size(); ++i) {
        if (digests[i] == nullptr) {
            error_text = "no SHA-256 for " + files[i].path;
            return false;
        }
        files[i].sha256.assign(digests[i], sha256_text_length);
    }
    sequence = number;
    return true;
}

bool read_next_key(const std::string& signed_text, std::string& next_key, std::string& error_text)
{
    const char* at = signed_text.c_str();
    const char* end = at + std::strlen(at);
    std::string found;
    bool named = false;
    ListLine line;
    while (next_list_line(at, end, line)) {
        if (!starts_with(line, next_key_key, next_key_key_length)) {
            continue;
        }
        if (named || !decode_base64(line.begin + next_key_key_length, line.length - next_key_key_length, found) ||
            found.size() != list_public_key_length) {
            error_text = "a garbled NextKey line";
            return false;
        }
        named = true;
    }
    next_key = found;
    return true;
}
