// The search of a release folder for signing keys: a key file is a few lines of text, so only
// small files are read, and a line "PrivateKey=" with base64 of a 32-byte secret marks one
// whatever else the file holds.
#include "tools/publishing/key_in_release.h"

#include <cstring>

#include "tools/whole_file.h"
#include "update_list/base64.h"
#include "update_list/list_line.h"

// A key file is about 260 bytes; this leaves room for comments a person adds and reads next to
// nothing of a release, whose files are mostly larger.
static const uint64_t max_key_file_size = 16 * 1024;
static const size_t private_key_length = 32;

// True with the secret when a line of `text` is "PrivateKey=<base64 of 32 bytes>".
static bool find_private_key(const std::string& text, std::string& private_d)
{
    static const char private_key_key[] = "PrivateKey=";
    const size_t key_length = sizeof private_key_key - 1;
    const char* at = text.data();
    const char* end = at + text.size();
    ListLine line;
    while (next_list_line(at, end, line)) {
        std::string secret;
        if (line.length > key_length && std::memcmp(line.begin, private_key_key, key_length) == 0 &&
            decode_base64(line.begin + key_length, line.length - key_length, secret) &&
            secret.size() == private_key_length) {
            private_d = secret;
            return true;
        }
    }
    return false;
}

bool find_key_files(const std::string& root, const std::vector<ReleaseFile>& files,
                    const std::string& signing_private, std::vector<std::string>& refusals)
{
    size_t before = refusals.size();
    for (const ReleaseFile& file : files) {
        std::string text;
        std::string unread;
        std::string secret;
        // One that can't be read here fails the hash pass with its reason.
        if (file.size > max_key_file_size || !read_whole_file(root + "/" + file.path, text, unread) ||
            !find_private_key(text, secret)) {
            continue;
        }
        refusals.push_back(file.path + (secret == signing_private && !signing_private.empty()
                                            ? ": the --sign-key file itself lies in the release folder"
                                            : ": a private signing key") +
                           "; every player would fetch it and could sign releases as the studio. Keep keys "
                           "outside the release folder");
    }
    return refusals.size() == before;
}
