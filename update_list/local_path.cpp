// The placing of update-list names in the game folder; portable, so the unit tests hold it.
#include "update_list/local_path.h"

std::string join_local_path(const std::string& folder, const std::string& relative)
{
    std::string path = folder + relative;
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}
