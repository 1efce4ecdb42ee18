// The studio's signature on an update list, and the highest release number a game folder has
// accepted, kept in "launcher.release" beside the cache.
#include "engine/signed_release.h"

#include <cstdint>
#include <cstdio>

#include "game_folder/durable_file.h"
#include "update_list/list_signature.h"
#include "update_list/decimal.h"
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

// The number recorded in the file; 0 when there is none or it can't be read, so that any
// validly signed release is accepted then.
static uint64_t accepted_release(const std::string& path)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (file == NULL)
        return 0;
    char digits[32];
    size_t length = fread(digits, 1, sizeof(digits), file);
    fclose(file);
    while (length > 0 && (digits[length - 1] == '\n' || digits[length - 1] == '\r'))
        --length;
    uint64_t value = 0;
    return read_decimal_digits(digits, length, value) ? value : 0;
}

bool accept_signed_release(const std::string& folder, const std::string& text, UpdateList& list,
                           std::string& error_text)
{
    uint64_t release = 0;
    if (!read_signed_lines(text, list.files, release, error_text))
        return false;
    std::string path = folder + accepted_release_file_name;
    uint64_t accepted = accepted_release(path);
    if (release < accepted) {
        error_text = "release " + std::to_string(release) + " is older than release " +
                     std::to_string(accepted) + ", which this game folder has already accepted";
        return false;
    }
    if (release > accepted)
        replace_file_durably(path, std::to_string(release) + "\n");
    return true;
}
