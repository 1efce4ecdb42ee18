// A rollback made a release of its own: the content of a list published before, signed again
// with a higher Sequence, so that launchers which accepted a later release take it as the newest.
#pragma once

#include <cstdint>
#include <string>

// True when `old_text` carries a signature that holds under `public_xy` (64 bytes X||Y); false
// with the launcher's reason otherwise.
bool check_old_signature(const std::string& old_text, const std::string& public_xy, std::string& error_text);

// Gives `text`: every signed line of `old_text` (all of it when it has no signature line) as it
// was (files, news, Run, deletions, maps, ...) with its Sequence line, or a new one after Version,
// saying `sequence`; it awaits its Signature line. False with the reason when the old list is not
// one a launcher would accept with a key (an entry without its SHA-256, ...), or `sequence` is not
// above its own.
bool renumber_signed_list(const std::string& old_text, uint64_t sequence, std::string& text,
                          std::string& error_text);
