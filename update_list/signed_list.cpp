// Reading the signed additions to the update list. A launcher without a key never calls this:
// its parser ignores all of these lines.
#include "update_list/signed_list.h"

#include <cstring>
#include <unordered_map>

#include "update_list/base64.h"
#include "update_list/list_line.h"

const size_t list_signature_length = 64;
const size_t list_public_key_length = 64;

static const char signature_key[] = "Signature=";
static const size_t signature_key_length = sizeof signature_key - 1;
static const char sequence_key[] = "Sequence=";
static const size_t sequence_key_length = sizeof sequence_key - 1;
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

bool read_sequence_number(const char* digits, size_t length, uint64_t& value)
{
    if (length == 0) {
        return false;
    }
    uint64_t number = 0;
    for (size_t i = 0; i < length; ++i) {
        if (digits[i] < '0' || digits[i] > '9') {
            return false;
        }
        uint64_t digit = static_cast<uint64_t>(digits[i] - '0');
        if (number > (UINT64_MAX - digit) / 10) {
            return false;
        }
        number = number * 10 + digit;
    }
    value = number;
    return true;
}

static bool is_sha256_text(const char* text)
{
    for (size_t i = 0; i < sha256_text_length; ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        bool letter = text[i] >= 'a' && text[i] <= 'f';
        if (!digit && !letter) {
            return false;
        }
    }
    return true;
}

// Takes the digest and path of a well-formed "H|<64 hex>|<path>" line; false for any other line.
static bool read_hash_line(ListLine line, std::string& sha256, std::string& path)
{
    size_t bar = hash_prefix_length + sha256_text_length;
    if (!starts_with(line, hash_prefix, hash_prefix_length) || line.length <= bar || line.begin[bar] != '|' ||
        !is_sha256_text(line.begin + hash_prefix_length)) {
        return false;
    }
    sha256.assign(line.begin + hash_prefix_length, sha256_text_length);
    path.assign(line.begin + bar + 1, line.begin + line.length);
    return true;
}

bool read_signed_lines(const std::string& signed_text, std::vector<UpdateEntry>& files, uint64_t& sequence,
                       std::string& error_text)
{
    // Only the listed paths are looked up, so "H|" lines for anything else cost nothing more.
    std::unordered_map<std::string, std::string> hash_of;
    for (const UpdateEntry& entry : files) {
        hash_of.emplace(entry.path, std::string());
    }
    const char* at = signed_text.c_str();
    const char* end = at + std::strlen(at);
    bool has_sequence = false;
    uint64_t number = 0;
    ListLine line;
    std::string sha256;
    std::string path;
    while (next_list_line(at, end, line)) {
        if (starts_with(line, sequence_key, sequence_key_length)) {
            if (has_sequence ||
                !read_sequence_number(line.begin + sequence_key_length, line.length - sequence_key_length, number)) {
                error_text = "a garbled Sequence line";
                return false;
            }
            has_sequence = true;
            continue;
        }
        if (!read_hash_line(line, sha256, path)) {
            continue;
        }
        auto listed = hash_of.find(path);
        if (listed == hash_of.end()) {
            continue;
        }
        if (!listed->second.empty() && listed->second != sha256) {
            error_text = "two SHA-256 lines for " + path;
            return false;
        }
        listed->second = sha256;
    }
    for (UpdateEntry& entry : files) {
        entry.sha256 = hash_of[entry.path];
        if (entry.sha256.empty()) {
            error_text = "no SHA-256 for " + entry.path;
            return false;
        }
    }
    sequence = number;
    return true;
}
