// The update list a release's address serves now: fetched as every launcher fetches it, and the
// release number it carries, above which the next signed release must be numbered, since every
// launcher that took the served list refuses a lower one.
#pragma once

#include <cstdint>
#include <string>

#include "tools/checking/http_get.h"

// The release's address as launcher.ini's Url gives it: true for http:// or https://, with a
// missing final "/" added, as the launcher adds it.
bool read_release_url(const std::string& value, std::string& base_url);

// Fetches base_url + "manifest.txt" as the launcher does, past every cache. True once the request
// ran, with `answered` and `answer` as http_get gave them; false with the reason when no
// connection could be started.
bool fetch_served_list(const std::string& base_url, bool& answered, HttpAnswer& answer, std::string& error_text);

// The Sequence of a list's signed part (all of its text when it has no signature line): true
// with the number, false when it carries none.
bool find_list_sequence(const std::string& text, uint64_t& sequence);

// True when `sequence` is above the Sequence of the list in `file`; a file that can't be read
// holds no list. False with the reason, naming the file.
bool check_sequence_above_file(const std::string& file, uint64_t sequence, std::string& error_text);

// True when `sequence` is above the Sequence of the list served at `base_url`; no list served
// (404) or one without a Sequence is no bar. False with the reason, also when the server can't be
// reached or answers otherwise: a number chosen blind may be one every player refuses.
bool check_sequence_above_served(const std::string& base_url, uint64_t sequence, std::string& error_text);
