// An independent model of how Windows resolves a relative name below a folder, used to check that
// every path the launcher accepts stays inside the game folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// True when `text` is well-formed UTF-8 as the Unicode tables define it: each code point in its
// shortest form, none a surrogate, none above U+10FFFF. Decodes, then encodes again and compares.
inline bool is_well_formed_utf8(const std::string& text)
{
    std::string again;
    for (size_t at = 0; at < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[at]);
        int extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || at + extra >= text.size())
            return false;
        uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int i = 1; i <= extra; ++i) {
            unsigned char next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            return false;
        if (code < 0x80) {
            again += static_cast<char>(code);
        } else {
            int length = code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
            static const unsigned char leads[] = {0, 0, 0xC0, 0xE0, 0xF0};
            again += static_cast<char>(leads[length] | (code >> (6 * (length - 1))));
            for (int i = length - 2; i >= 0; --i)
                again += static_cast<char>(0x80 | ((code >> (6 * i)) & 0x3F));
        }
        at += extra + 1;
    }
    return again == text;
}

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
