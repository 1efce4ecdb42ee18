// The digests of bytes written for a listed file, and the verdict on them.
#include "transfer/listed_file.h"

static const size_t md5_text_length = 32;
static const uint32_t md5_piece_limit = 1u << 30;  // md5_update takes 32-bit lengths

void begin_digests(const ListedFile& file, FileDigests& digests)
{
    digests.size = 0;
    md5_init(digests.md5);
    sha256_release(digests.sha256);
    digests.failure.clear();
    if (!file.sha256.empty())
        sha256_begin(digests.sha256, digests.failure);
}

// A SHA-256 that failed once stays failed: the verdict then reports the system's reason.
void feed_digests(FileDigests& digests, const void* bytes, size_t length)
{
    const unsigned char* at = static_cast<const unsigned char*>(bytes);
    for (size_t left = length; left > 0;) {
        uint32_t piece = left > md5_piece_limit ? md5_piece_limit : uint32_t(left);
        md5_update(digests.md5, at, piece);
        at += piece;
        left -= piece;
    }
    if (digests.sha256.hash != nullptr && !sha256_update(digests.sha256, bytes, length, digests.failure))
        sha256_release(digests.sha256);
    digests.size += length;
}

void release_digests(FileDigests& digests)
{
    sha256_release(digests.sha256);
}

bool verify_listed_file(const ListedFile& file, FileDigests& digests, std::string& error_text)
{
    std::string md5 = md5_final(digests.md5);
    std::string sha256;
    bool hashed = digests.failure.empty() &&
                  (file.sha256.empty() || sha256_final(digests.sha256, sha256, digests.failure));
    sha256_release(digests.sha256);
    if (!hashed) {
        error_text = digests.failure;
        return false;
    }
    bool same = digests.size == file.size && file.md5.size() == md5_text_length && file.md5 == md5 &&
                sha256 == file.sha256;
    if (!same) {
        error_text = "file damaged on the way";
        return false;
    }
    return true;
}
