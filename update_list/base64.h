// Base64 (the standard alphabet with "=" padding) for the keys and signatures in text files.
#pragma once

#include <cstddef>
#include <string>

// Decodes exactly the text that encode_base64 writes for some bytes: padding to a multiple of four
// characters, no blanks or line breaks, unused bits zero. False, with `bytes` unchanged, otherwise,
// so that every signature and key has one spelling only.
bool decode_base64(const char* text, size_t length, std::string& bytes);

std::string encode_base64(const std::string& bytes);
