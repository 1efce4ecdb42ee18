// The reasons of a file that could not be written or placed.
#include "transfer/move_failure.h"

static bool is_held(unsigned long error)
{
    return error == error_sharing_violation || error == error_lock_violation || error == error_user_mapped_file;
}

// Windows denies a move over a running program as it denies one the player has no right to make,
// and wine denies one over a file held open without delete sharing; only the probe tells them
// apart (a held file refuses the opens as shared, a forbidden one as denied).
std::string move_failure_text(unsigned long move_error, bool target_is_folder, unsigned long probe_error)
{
    if (target_is_folder)
        return "a folder has the file's name - remove or rename it";
    if (is_held(move_error) || (move_error == error_access_denied && is_held(probe_error)))
        return "the file is in use - close the game first";
    if (move_error == error_access_denied && probe_error == error_access_denied)
        return "no permission to replace the file";
    if (move_error == error_access_denied)
        return "no permission to write in the game folder";
    return "can't replace the file (error " + std::to_string(move_error) + ")";
}

std::string part_failure_text(unsigned long create_error, const std::string& part_path)
{
    if (create_error == error_access_denied)
        return "no permission to write in the game folder";
    return "can't write " + part_path;
}
