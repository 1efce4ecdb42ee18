// Reads and writes at an offset, repeated until every byte is through.
#include "platform/file_at.h"

bool read_exactly(HANDLE file, uint64_t offset, void* buffer, size_t length, size_t& got)
{
    got = 0;
    while (got < length) {
        OVERLAPPED at = {};
        at.Offset = DWORD(offset + got);
        at.OffsetHigh = DWORD((offset + got) >> 32);
        DWORD read = 0;
        if (!ReadFile(file, static_cast<char*>(buffer) + got, DWORD(length - got), &read, &at) || read == 0)
            return false;
        got += read;
    }
    return true;
}

bool write_exactly(HANDLE file, uint64_t offset, const void* bytes, size_t length)
{
    size_t done = 0;
    while (done < length) {
        OVERLAPPED at = {};
        at.Offset = DWORD(offset + done);
        at.OffsetHigh = DWORD((offset + done) >> 32);
        DWORD written = 0;
        if (!WriteFile(file, static_cast<const char*>(bytes) + done, DWORD(length - done), &written, &at) ||
            written == 0)
            return false;
        done += written;
    }
    return true;
}
