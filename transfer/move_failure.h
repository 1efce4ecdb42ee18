// Why a file could not be written or take its name, told apart where Windows lets us, in words a
// player can act on. Only "in use" means waiting won't help: the download batch retries the rest.
#pragma once

#include <string>

// The system error numbers the choice depends on.
const unsigned long error_access_denied = 5;
const unsigned long error_sharing_violation = 32;
const unsigned long error_lock_violation = 33;
const unsigned long error_user_mapped_file = 1224;

// The reason of a verified part that could not be moved over its target. `move_error`: the failed
// move's error; `target_is_folder`: a folder stands under the target's name; `probe_error`: for an
// access denial, the first error of opening the target for what a move needs of it (to delete it,
// then to write it) with every kind of sharing allowed, 0 when both opens worked; it tells a held
// or running file from a forbidden one.
std::string move_failure_text(unsigned long move_error, bool target_is_folder, unsigned long probe_error);

// The reason of a part file that could not be created.
std::string part_failure_text(unsigned long create_error, const std::string& part_path);
