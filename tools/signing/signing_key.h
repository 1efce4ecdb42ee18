// The studio's signing key for update lists (ECDSA P-256): its file, its generation and the
// signature over a list. The file format is portable (signing_key.cpp); the crypto comes from
// OpenSSL natively (signing_key_openssl.cpp) and from CNG on Windows (signing_key_cng.cpp).
#pragma once

#include <string>

struct SigningKey {
    std::string public_xy;  // 64 bytes X||Y, what every launcher.ini carries as PublicKey
    std::string private_d;  // 32 bytes, the secret scalar
};

// The key file, three lines of text:
//   # <what the file is and that it is secret>
//   PublicKey=<base64 of X||Y, 88 characters>
//   PrivateKey=<base64 of d, 44 characters>
std::string format_key_file(const SigningKey& key);

// Reads a key file's text; blank lines and "#" lines are skipped, CR LF is fine. False with the
// reason when a line is missing or does not decode to its length.
bool parse_key_file(const std::string& text, SigningKey& key, std::string& error_text);

// The line for launcher.ini: "PublicKey=" and the 88 characters.
std::string public_key_line(const SigningKey& key);

// Reads a public key as a studio copies it from launcher.ini, with or without "PublicKey=": true
// with its 64 bytes X||Y when the value is base64 of exactly that many.
bool read_public_key(const std::string& value, std::string& public_xy);

// The value of an option that names a public key (--public-key, --next-key): the PublicKey value
// as launcher.ini carries it, or a key file of make_manifest keygen, whose public half is taken.
// False with the reason; nothing of the file is ever shown, as it holds the secret half.
bool read_public_key_argument(const std::string& option, const std::string& value, std::string& public_xy,
                              std::string& error_text);

// Makes a new key from the system's random source.
bool generate_signing_key(SigningKey& key, std::string& error_text);

// Signs `text` with SHA-256 and gives r||s, 64 bytes, then checks the signature against the
// key's public half, so that a key file whose halves do not belong together is refused.
bool sign_list_text(const SigningKey& key, const std::string& text, std::string& signature_rs,
                    std::string& error_text);
