// Splitting the update list's text into trimmed lines.
#include "update_list/list_line.h"

#include <cstring>

bool next_list_line(const char*& at, const char* end, ListLine& line)
{
    if (at == end) {
        return false;
    }
    const char* line_end = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
    line.begin = at;
    if (line_end == nullptr) {
        line.length = static_cast<size_t>(end - at);
        at = end;
    } else {
        line.length = static_cast<size_t>(line_end - at);
        at = line_end + 1;
    }
    // Trailing blanks and carriage returns never count, so CR LF lists read like LF lists.
    while (line.length > 0 && (line.begin[line.length - 1] == ' ' || line.begin[line.length - 1] == '\r')) {
        --line.length;
    }
    return true;
}
