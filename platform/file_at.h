// Reading and writing a file at given offsets, so that several threads may use one handle each
// without sharing a file pointer.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Reads `length` bytes at `offset`; `got` says how many arrived before a failure or the file's end.
bool read_exactly(HANDLE file, uint64_t offset, void* buffer, size_t length, size_t& got);
bool write_exactly(HANDLE file, uint64_t offset, const void* bytes, size_t length);
