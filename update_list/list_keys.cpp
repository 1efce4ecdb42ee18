// The key rotation of signed lists: whoever signed the last accepted list is the working key. The
// studio's backup key, which lies in launcher.ini and no list can change, always counts.
#include "update_list/list_keys.h"

#include <cstring>

#include "update_list/base64.h"
#include "update_list/list_line.h"
#include "update_list/signed_list.h"

static const char installed_key[] = "Installed=";
static const char current_key[] = "Current=";
static const char next_key[] = "Next=";

std::vector<std::string> trusted_keys(const ListKeys& keys)
{
    std::vector<std::string> tried;
    for (const std::string* key : {&keys.current, &keys.next, &keys.backup}) {
        bool known = key->empty();
        for (const std::string& earlier : tried) {
            known = known || earlier == *key;
        }
        if (!known) {
            tried.push_back(*key);
        }
    }
    return tried;
}

ListKeys keys_after_list(const ListKeys& keys, const std::string& signer, const std::string& named_next)
{
    ListKeys after;
    after.current = signer;
    after.next = named_next == signer ? std::string() : named_next;
    after.backup = keys.backup;
    return after;
}

std::string format_key_record(const std::string& installed, const ListKeys& keys)
{
    std::string text = installed_key + encode_base64(installed) + "\n" + current_key + encode_base64(keys.current) + "\n";
    if (!keys.next.empty()) {
        text += next_key + encode_base64(keys.next) + "\n";
    }
    return text;
}

// Takes the key of a "<name>=<base64 of 64 bytes>" line once; false for a second one or a garbled value.
static bool take_key(ListLine line, const char* name, std::string& key, bool& matched)
{
    size_t name_length = std::strlen(name);
    matched = line.length >= name_length && std::memcmp(line.begin, name, name_length) == 0;
    if (!matched) {
        return true;
    }
    std::string read;
    if (!key.empty() || !decode_base64(line.begin + name_length, line.length - name_length, read) ||
        read.size() != list_public_key_length) {
        return false;
    }
    key = read;
    return true;
}

bool read_key_record(const std::string& text, const std::string& installed, ListKeys& keys)
{
    std::string names[3];
    const char* const line_names[] = {installed_key, current_key, next_key};
    const char* at = text.data();
    const char* end = at + text.size();
    ListLine line;
    while (next_list_line(at, end, line)) {
        bool matched = false;
        for (size_t i = 0; i < 3 && !matched; ++i) {
            if (!take_key(line, line_names[i], names[i], matched)) {
                return false;
            }
        }
        if (!matched && line.length > 0) {
            return false;
        }
    }
    if (names[0].empty() || names[1].empty()) {
        return false;
    }
    if (names[0] == installed) {
        keys.current = names[1];
        keys.next = names[2];
    }
    return true;
}
