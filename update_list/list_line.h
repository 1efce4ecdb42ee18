// How the update list's text falls into lines: the one splitter that the parser and the reader of
// the signed additions share, so that both see exactly the same lines.
#pragma once

#include <cstddef>

// One line of the list, without its line feed and without trailing blanks and carriage returns.
struct ListLine {
    const char* begin;
    size_t length;
};

// Takes the line that starts at `at` and ends before the next line feed or at `end`, trims it,
// and moves `at` past its line feed. False, with nothing taken, when `at` has reached `end`.
bool next_list_line(const char*& at, const char* end, ListLine& line);
