// The text file that holds make_manifest's signing key: both halves in base64, so that the
// Windows tool can hand them to CNG as they are and a person can copy the public line.
#include "tools/signing/signing_key.h"

#include "tools/whole_file.h"
#include "update_list/base64.h"
#include "update_list/list_line.h"
#include "update_list/signed_list.h"

static const char public_key_key[] = "PublicKey=";
static const char private_key_key[] = "PrivateKey=";
static const size_t private_key_length = 32;

std::string format_key_file(const SigningKey& key)
{
    return "# make_manifest signing key (ECDSA P-256). Secret: keep it offline or in a CI secret, "
           "never in a release.\n" +
           public_key_line(key) + "\n" + private_key_key + encode_base64(key.private_d) + "\n";
}

std::string public_key_line(const SigningKey& key)
{
    return public_key_key + encode_base64(key.public_xy);
}

bool read_public_key(const std::string& value, std::string& public_xy)
{
    size_t skip = value.compare(0, sizeof public_key_key - 1, public_key_key) == 0 ? sizeof public_key_key - 1 : 0;
    std::string decoded;
    if (!decode_base64(value.data() + skip, value.size() - skip, decoded) || decoded.size() != list_public_key_length) {
        return false;
    }
    public_xy = decoded;
    return true;
}

// Decodes the value of a "<key>=" line when `line` is one, setting `garbled` when it is not base64;
// false when it is another line.
static bool value_of(ListLine line, const std::string& key, std::string& value, bool& garbled)
{
    if (line.length < key.size() || key.compare(0, key.size(), line.begin, key.size()) != 0) {
        return false;
    }
    garbled = !decode_base64(line.begin + key.size(), line.length - key.size(), value);
    return true;
}

// No line of the file is ever echoed: it may hold the secret.
bool parse_key_file(const std::string& text, SigningKey& key, std::string& error_text)
{
    SigningKey read;
    bool garbled = false;
    const char* at = text.data();
    const char* end = at + text.size();
    ListLine line;
    while (!garbled && next_list_line(at, end, line)) {
        if (line.length == 0 || line.begin[0] == '#') {
            continue;
        }
        bool known = value_of(line, public_key_key, read.public_xy, garbled) ||
                     value_of(line, private_key_key, read.private_d, garbled);
        garbled = garbled || !known;
    }
    if (garbled || read.public_xy.size() != list_public_key_length || read.private_d.size() != private_key_length) {
        error_text = "not a make_manifest key file: it holds a PublicKey line of 64 bytes and a PrivateKey line "
                     "of 32 bytes, in base64, and nothing else";
        return false;
    }
    key = read;
    return true;
}

bool read_public_key_argument(const std::string& option, const std::string& value, std::string& public_xy,
                              std::string& error_text)
{
    if (read_public_key(value, public_xy)) {
        return true;
    }
    std::string text;
    SigningKey key;
    if (!read_whole_file(value, text, error_text)) {
        std::string bytes;
        std::string base64 = value.compare(0, 10, "PublicKey=") == 0 ? value.substr(10) : value;
        error_text = option + " " + value + ": not a key: " +
                     (decode_base64(base64.data(), base64.size(), bytes)
                          ? "base64 of " + std::to_string(bytes.size()) + " bytes, a PublicKey is 64 (88 characters)"
                          : std::string("neither base64 nor a file of that name"));
        return false;
    }
    if (!parse_key_file(text, key, error_text)) {
        error_text = value + ": " + error_text;
        return false;
    }
    public_xy = key.public_xy;
    return true;
}
