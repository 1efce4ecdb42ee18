// Streamed SHA-256 with a 64-digit lower-case text result. The launcher's hash is the system's
// (CNG, sha256.cpp); make_manifest's native build has the same functions on OpenSSL
// (tools/sha256_openssl.cpp).
#pragma once

#include <cstddef>
#include <string>

const size_t sha256_digest_length = 32;

// One hash in progress. Every caller has its own, so several downloads can hash at once; it is
// never copied while a hash is open.
struct Sha256Context {
    void* hash;    // the backend's open hash; null when none is open
    void* object;  // memory the backend keeps that hash's state in, owned here; may be null
};

// Opens a new hash in `context`. False with the reason, and nothing open, when the system refuses.
bool sha256_begin(Sha256Context& context, std::string& error_text);

// Feeds `length` bytes of any size. False with the reason; the caller then releases the context.
bool sha256_update(Sha256Context& context, const void* data, size_t length, std::string& error_text);

// Completes the hash into its 32 bytes and releases the context, on every path.
bool sha256_final_bytes(Sha256Context& context, unsigned char (&digest)[sha256_digest_length],
                        std::string& error_text);

// Completes the hash into the 64 lower-case hex digits the update list writes, and releases the
// context, on every path.
bool sha256_final(Sha256Context& context, std::string& digest_text, std::string& error_text);

// The digest of one buffer: begin, update and final in one call.
bool sha256_of(const void* data, size_t length, unsigned char (&digest)[sha256_digest_length],
               std::string& error_text);

// The same, as the 64 lower-case hex digits the update list writes.
bool sha256_text_of(const void* data, size_t length, std::string& digest_text, std::string& error_text);

// Closes whatever hash is open; harmless on a context that is released already, that begin
// refused, or that starts as {nullptr, nullptr}, so that every path can end with it.
void sha256_release(Sha256Context& context);
