// The check that an update list is the one the studio signed: ECDSA over P-256 with SHA-256,
// through the system's CNG.
#pragma once

#include <cstddef>
#include <string>

// True when `signature_rs` (64 bytes r||s, the IEEE P1363 form) signs the `length` bytes at `data`
// under `public_key_xy` (64 bytes X||Y). False with the reason: "changed after signing, or signed
// with another key" when the signature does not hold (ECDSA can't tell the two apart), "the
// public key is not 64 bytes", "the signature is not 64 bytes", or the CNG call that failed.
bool verify_list_signature(const std::string& public_key_xy, const char* data, size_t length,
                           const std::string& signature_rs, std::string& error_text);
