// The ".part" file a listed file is written into before it takes its name: the tag beside it that
// says which version of the file and which answer its bytes came from, its folders, its flush, and
// the move that puts it in place.
#pragma once

#include <string>

// What "<part>.tag" says of the part beside it.
struct PartTag {
    std::string md5;        // the listed digest of the file the part belongs to
    std::string validator;  // ETag or Last-Modified of the answer that began it, or rebuilt_part_mark
};

// The validator of a part rebuilt from blocks (old copies and fetched ranges): its bytes are not
// the start of the file, so a download never goes on from its end.
extern const char rebuilt_part_mark[];

// The validator of a rebuilt part that passed its check: whole, it waits for the switch, and the
// next attempt verifies it again and keeps it without a request instead of rebuilding it.
extern const char verified_part_mark[];

// False when there is no tag, or it is not two lines with a digest and a validator.
bool read_part_tag(const std::string& part_path, PartTag& tag);

// Replaces the tag; an empty or multi-line validator leaves none. Written once the part has been
// begun anew, so that a tag never vouches for older bytes.
void write_part_tag(const std::string& part_path, const PartTag& tag);

// Deletes the part and its tag.
void remove_part(const std::string& part_path);

// Creates the folders of `target` level by level below `folder` (the game folder, ending in "\"),
// which is never created itself. Failures show up when the part can't be opened.
void create_folders(const std::string& folder, const std::string& target);

// Flushes a part that is not open, so that its bytes are on the disk before it takes its name.
// False with "disk full?" when that fails.
bool flush_part(const std::string& part_path, std::string& error_text);

// Whether a verified part could take `target`'s name now: false with the reason (see
// move_failure_text) when a folder stands under the name or another program holds the file open
// without letting it be deleted. A missing target is free.
bool may_take_name(const std::string& target, std::string& error_text);

// Moves a verified part over `target`, written through, so that it is on the disk before the
// cache records the file; its tag goes with it when it is `tagged`. False with the reason (see
// move_failure_text), the part then kept as it is, verified, for a later attempt.
bool place_part(const std::string& part_path, const std::string& target, bool tagged, std::string& error_text);
