// The studio's signature on an update list, and the highest release number a game folder has
// accepted, kept in "launcher.release" beside the cache.
#include "engine/signed_release.h"

#include <windows.h>

#include <cstdint>

#include "game_folder/durable_file.h"
#include "update_list/decimal.h"
#include "update_list/list_signature.h"
#include "update_list/signed_list.h"

const char accepted_release_file_name[] = "launcher.release";

bool check_list_signature(const std::string& public_key, std::string& text,
                          std::string& error_text)
{
    ListSignature found;
    if (!find_list_signature(text, found, error_text))
        return false;
    if (!verify_list_signature(public_key, text.data(), found.signed_length, found.signature,
                               error_text))
        return false;
    text.resize(found.signed_length);
    return true;
}

static const DWORD record_limit = 64;

// The number recorded in the file: 0 when there is none. A file that is there but can't be read,
// or holds anything but one decimal number, fails: guessing 0 would let any older release in and
// write the lower number back.
static bool read_accepted_release(const std::string& path, uint64_t& value, std::string& error_text)
{
    value = 0;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return true;
        error_text = "can't be read (error " + std::to_string(error) + ")";
        return false;
    }
    char digits[record_limit];
    DWORD length = 0;
    bool read = ReadFile(file, digits, record_limit, &length, NULL) != 0;
    CloseHandle(file);
    while (length > 0 && (digits[length - 1] == '\n' || digits[length - 1] == '\r'))
        --length;
    if (!read || !read_decimal_digits(digits, length, value)) {
        error_text = read ? "it holds no release number" : "can't be read";
        return false;
    }
    return true;
}

ReleaseVerdict accept_signed_release(const std::string& folder, uint64_t min_sequence, const std::string& text,
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
    if (release > recorded && !replace_file_durably(path, std::to_string(release) + "\n")) {
        error_text = "can't be written";
        return ReleaseVerdict::record_failed;
    }
    return ReleaseVerdict::accepted;
}
