// Fuzzes the reader of signed update lists: no crash on any bytes, a signature accepted only as
// the list's one last line, spelled one way, no entry given a SHA-256 its list does not name, and
// no next key but one its list spells out.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update_list/base64.h"
#include "update_list/signed_list.h"
#include "update_list/update_list.h"

static void require(bool condition)
{
    if (!condition)
        abort();
}

static void check_signature(const std::string& text, const ListSignature& found)
{
    const std::string key = "Signature=";
    require(found.signed_length <= text.size());
    require(text.compare(found.signed_length, key.size(), key) == 0);
    require(found.signed_length == 0 || text[found.signed_length - 1] == '\n');
    require(text.find("\n" + key) == found.signed_length - 1 || found.signed_length == 0);
    size_t line_end = text.find('\n', found.signed_length);
    std::string value = text.substr(found.signed_length + key.size(), line_end - found.signed_length - key.size());
    while (!value.empty() && (value.back() == ' ' || value.back() == '\r'))
        value.pop_back();
    require(found.signature.size() == 64);
    require(value == encode_base64(found.signature));
    require(line_end == std::string::npos || text.find_first_not_of("\r\n", line_end) == std::string::npos);
}

static void check_signed_lines(const std::string& signed_text)
{
    UpdateList list;
    parse_update_list(signed_text.c_str(), list);
    uint64_t sequence = 12345;
    std::string error_text;
    if (!read_signed_lines(signed_text, list.files, sequence, error_text)) {
        require(!error_text.empty());
        require(sequence == 12345);
        return;
    }
    if (signed_text.find("Sequence=") == std::string::npos)
        require(sequence == 0);
    for (const UpdateEntry& entry : list.files) {
        require(entry.sha256.size() == 64);
        require(entry.sha256.find_first_not_of("0123456789abcdef") == std::string::npos);
        require(signed_text.find("H|" + entry.sha256 + "|" + entry.path) != std::string::npos);
    }
    std::string next_key = "kept";
    if (!read_next_key(signed_text, next_key, error_text)) {
        require(error_text == "a garbled NextKey line" && next_key == "kept");
        return;
    }
    require(next_key.empty() || (next_key.size() == 64 &&
                                 signed_text.find("NextKey=" + encode_base64(next_key)) != std::string::npos));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    ListSignature found;
    std::string error_text;
    if (find_list_signature(text, found, error_text)) {
        check_signature(text, found);
        check_signed_lines(text.substr(0, found.signed_length));
    } else {
        require(error_text == "no signature" || error_text == "the signature is not the last line" ||
                error_text == "a garbled signature line");
        check_signed_lines(text);
    }

    // Whatever decodes is the one spelling of its bytes, and every byte string comes back whole.
    std::string bytes;
    if (decode_base64(text.data(), text.size(), bytes))
        require(encode_base64(bytes) == text);
    require(decode_base64(encode_base64(text).data(), encode_base64(text).size(), bytes) && bytes == text);
    return 0;
}
