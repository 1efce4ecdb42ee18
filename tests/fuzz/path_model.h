// An independent model of how Windows resolves a relative name below a folder, used to check that
// every path the launcher accepts stays inside the game folder.
#pragma once

#include <string>
#include <vector>

// True when `relative`, joined to a folder, resolves to that folder or a place below it and names
// no drive, stream, rooted or UNC path. Resolution as Windows does it: "/" and "\" separate,
// runs of separators collapse, "." and ".." are evaluated, then a segment's single trailing
// period is dropped and the last segment loses all trailing periods and spaces.
inline bool stays_inside_folder(const std::string& relative)
{
    if (relative.empty() || relative[0] == '/' || relative[0] == '\\')
        return false;
    if (relative.find(':') != std::string::npos)
        return false;
    std::vector<std::string> segments;
    std::string segment;
    auto finish_segment = [&](bool last) {
        if (segment == "..") {
            if (segments.empty())
                return false;
            segments.pop_back();
        } else if (!segment.empty() && segment != ".") {
            if (last) {
                while (!segment.empty() && (segment.back() == '.' || segment.back() == ' '))
                    segment.pop_back();
            } else if (segment.back() == '.' && segment.size() > 1 && segment[segment.size() - 2] != '.') {
                segment.pop_back();
            }
            if (!segment.empty())
                segments.push_back(segment);
        }
        segment.clear();
        return true;
    };
    for (char c : relative) {
        if (c == '/' || c == '\\') {
            if (!finish_segment(false))
                return false;
        } else {
            segment += c;
        }
    }
    return finish_segment(true);
}
