// The studio's signature on an update list, the keys a game folder trusts for it (kept in
// "launcher.keys" once a rotation moved them on), and the highest release number it has accepted,
// kept in "launcher.release", both beside the cache.
#include "engine/signed_release.h"

#include <windows.h>

#include <cstdint>

#include "game_folder/durable_file.h"
#include "update_list/decimal.h"
#include "update_list/list_signature.h"
#include "update_list/signed_list.h"

const char accepted_release_file_name[] = "launcher.release";
const char key_record_file_name[] = "launcher.keys";

static const DWORD release_record_limit = 64;
// Three lines of a name and 88 characters; anything longer is no record of ours.
static const DWORD key_record_limit = 512;

const char* release_record_name(ReleaseVerdict verdict)
{
    return verdict == ReleaseVerdict::keys_broken || verdict == ReleaseVerdict::keys_failed
               ? key_record_file_name
               : accepted_release_file_name;
}

// The first `limit` bytes of a record file; `found` false when there is none. A file that is
// there but can't be read fails: guessing it empty would forget what it holds.
static bool read_record(const std::string& path, DWORD limit, std::string& text, bool& found,
                        std::string& error_text)
{
    text.clear();
    found = false;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return true;
        error_text = "can't be read (error " + std::to_string(error) + ")";
        return false;
    }
    text.resize(limit);
    DWORD length = 0;
    bool read = ReadFile(file, &text[0], limit, &length, NULL) != 0;
    CloseHandle(file);
    text.resize(length);
    found = true;
    if (!read)
        error_text = "can't be read";
    return read;
}

// The keys in force: launcher.ini's, moved on by launcher.keys when it was written for the same
// installed key.
static bool read_trusted_keys(const std::string& folder, const std::string& installed_key,
                              const std::string& backup_key, ListKeys& keys, std::string& error_text)
{
    keys.current = installed_key;
    keys.next.clear();
    keys.backup = backup_key;
    std::string text;
    bool found = false;
    if (!read_record(folder + key_record_file_name, key_record_limit + 1, text, found, error_text))
        return false;
    if (found && (text.size() > key_record_limit || !read_key_record(text, installed_key, keys))) {
        error_text = "it holds no keys";
        return false;
    }
    return true;
}

ReleaseVerdict check_list_signature(const std::string& folder, const std::string& installed_key,
                                    const std::string& backup_key, std::string& text, ListSigning& signing,
                                    std::string& error_text)
{
    if (!read_trusted_keys(folder, installed_key, backup_key, signing.keys, error_text))
        return ReleaseVerdict::keys_broken;
    ListSignature found;
    if (!find_list_signature(text, found, error_text))
        return ReleaseVerdict::refused;
    // The working key's reason is the one told: the others are tried only for a rotation.
    std::string reason;
    for (const std::string& key : trusted_keys(signing.keys)) {
        std::string key_reason;
        if (verify_list_signature(key, text.data(), found.signed_length, found.signature, key_reason)) {
            signing.signer = key;
            text.resize(found.signed_length);
            return ReleaseVerdict::accepted;
        }
        if (reason.empty())
            reason = key_reason;
    }
    error_text = reason;
    return ReleaseVerdict::refused;
}

// The number recorded in the file: 0 when there is none. A file that holds anything but one
// decimal number fails: guessing 0 would let any older release in and write the lower number back.
static bool read_accepted_release(const std::string& path, uint64_t& value, std::string& error_text)
{
    value = 0;
    std::string digits;
    bool found = false;
    if (!read_record(path, release_record_limit, digits, found, error_text))
        return false;
    while (!digits.empty() && (digits.back() == '\n' || digits.back() == '\r'))
        digits.pop_back();
    if (found && !read_decimal_digits(digits.data(), digits.size(), value)) {
        error_text = "it holds no release number";
        return false;
    }
    return true;
}

ReleaseVerdict accept_signed_release(const std::string& folder, uint64_t min_sequence, const std::string& text,
                                     const std::string& installed_key, const ListSigning& signing,
                                     UpdateList& list, std::string& error_text)
{
    std::string path = folder + accepted_release_file_name;
    uint64_t recorded = 0;
    if (!read_accepted_release(path, recorded, error_text))
        return ReleaseVerdict::record_broken;
    uint64_t release = 0;
    if (!read_signed_lines(text, list.files, release, error_text))
        return ReleaseVerdict::refused;
    uint64_t floor = recorded > min_sequence ? recorded : min_sequence;
    if (release < floor) {
        error_text = "release " + std::to_string(release) + " is older than release " + std::to_string(floor) +
                     (floor == recorded ? ", which this game folder has already accepted"
                                        : ", which this game was installed with");
        return ReleaseVerdict::refused;
    }
    std::string named_next;
    if (!read_next_key(text, named_next, error_text))
        return ReleaseVerdict::refused;
    ListKeys after = keys_after_list(signing.keys, signing.signer, named_next);
    if ((after.current != signing.keys.current || after.next != signing.keys.next) &&
        !replace_file_durably(folder + key_record_file_name, format_key_record(installed_key, after))) {
        error_text = "can't be written";
        return ReleaseVerdict::keys_failed;
    }
    if (release > recorded && !replace_file_durably(path, std::to_string(release) + "\n")) {
        error_text = "can't be written";
        return ReleaseVerdict::record_failed;
    }
    return ReleaseVerdict::accepted;
}
