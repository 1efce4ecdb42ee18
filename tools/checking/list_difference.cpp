// Comparing the served update list with the studio's own, line by line as the launcher splits
// them: an entry and its SHA-256 line are one thing, found by path; all else is a line or not.
#include "tools/checking/list_difference.h"

#include <algorithm>
#include <iterator>
#include <map>

#include "update_list/list_line.h"

static const char list_name[] = "manifest.txt";
static const char sequence_key[] = "Sequence=";
static const char signature_key[] = "Signature=";
static const size_t entry_bars = 3;  // "F|md5|size|path"
static const size_t hash_bars = 2;   // "H|sha256|path"

// What a list says of one path: its entry line and its SHA-256 line, each without the path.
struct PathLines {
    std::string entry;
    std::string hash;
};

struct ListParts {
    std::map<std::string, PathLines> paths;
    std::string sequence;   // the value, "none" when there is no such line
    std::string signature;  // the whole line, empty when there is none
    std::vector<std::string> others;  // every other non-empty line, sorted
};

static bool starts_with(const std::string& line, const char* prefix)
{
    return line.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The offset just past the `count`-th "|", or npos when there are fewer.
static size_t after_bars(const std::string& line, size_t count)
{
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        at = line.find('|', at);
        if (at == std::string::npos) {
            return at;
        }
        ++at;
    }
    return at;
}

// Takes a path's line into `parts` when `line` is an entry or SHA-256 line with its fields.
static bool take_path_line(const std::string& line, ListParts& parts)
{
    bool is_entry = starts_with(line, "F|") || starts_with(line, "K|");
    if (!is_entry && !starts_with(line, "H|")) {
        return false;
    }
    size_t path_at = after_bars(line, is_entry ? entry_bars : hash_bars);
    if (path_at == std::string::npos) {
        return false;
    }
    PathLines& lines = parts.paths[line.substr(path_at)];
    (is_entry ? lines.entry : lines.hash) = line.substr(0, path_at - 1);
    return true;
}

static void split_list(const std::string& text, ListParts& parts)
{
    parts.sequence = "none";
    const char* at = text.data();
    const char* end = at + text.size();
    ListLine split;
    while (next_list_line(at, end, split)) {
        std::string line(split.begin, split.length);
        if (line.empty() || take_path_line(line, parts)) {
            continue;
        }
        if (starts_with(line, sequence_key)) {
            parts.sequence = line.substr(sizeof sequence_key - 1);
        } else if (starts_with(line, signature_key)) {
            parts.signature = line;
        } else {
            parts.others.push_back(line);
        }
    }
    std::sort(parts.others.begin(), parts.others.end());
}

static std::string describe(const PathLines& lines)
{
    if (lines.hash.empty()) {
        return lines.entry;
    }
    return lines.entry.empty() ? lines.hash : lines.entry + " " + lines.hash;
}

static void compare_paths(const ListParts& expected, const std::string& expected_name, const ListParts& served,
                          std::vector<std::string>& differences)
{
    auto mine = expected.paths.begin();
    auto theirs = served.paths.begin();
    while (mine != expected.paths.end() || theirs != served.paths.end()) {
        if (theirs == served.paths.end() || (mine != expected.paths.end() && mine->first < theirs->first)) {
            differences.push_back(mine->first + ": missing from the served list: expected " + describe(mine->second) +
                                  ", the server's list has no line for it");
            ++mine;
        } else if (mine == expected.paths.end() || theirs->first < mine->first) {
            differences.push_back(theirs->first + ": not in " + expected_name + ": expected no line for it, " +
                                  "the server's list has " + describe(theirs->second));
            ++theirs;
        } else {
            std::string want = describe(mine->second);
            std::string got = describe(theirs->second);
            if (want != got) {
                differences.push_back(mine->first + ": changed: expected " + want + ", the server's list has " + got);
            }
            ++mine;
            ++theirs;
        }
    }
}

static void compare_other_lines(const ListParts& expected, const std::string& expected_name, const ListParts& served,
                                std::vector<std::string>& differences)
{
    std::vector<std::string> missing;
    std::vector<std::string> added;
    std::set_difference(expected.others.begin(), expected.others.end(), served.others.begin(), served.others.end(),
                        std::back_inserter(missing));
    std::set_difference(served.others.begin(), served.others.end(), expected.others.begin(), expected.others.end(),
                        std::back_inserter(added));
    for (const std::string& line : missing) {
        differences.push_back(std::string(list_name) + ": a line missing: expected \"" + line +
                              "\", the server's list lacks it");
    }
    for (const std::string& line : added) {
        differences.push_back(std::string(list_name) + ": a line added: expected only the lines of " + expected_name +
                              ", the server's list has \"" + line + "\"");
    }
}

void list_differences(const std::string& expected_text, const std::string& expected_name,
                      const std::string& served_text, std::vector<std::string>& differences)
{
    differences.clear();
    if (expected_text == served_text) {
        return;
    }
    ListParts expected;
    ListParts served;
    split_list(expected_text, expected);
    split_list(served_text, served);
    if (expected.sequence != served.sequence) {
        differences.push_back(std::string(list_name) + ": another Sequence: expected " + expected.sequence +
                              ", the server's list has " + served.sequence);
    }
    compare_paths(expected, expected_name, served, differences);
    compare_other_lines(expected, expected_name, served, differences);
    // Any change of the signed lines changes the signature too; alone, it is a list signed again.
    if (differences.empty() && expected.signature != served.signature) {
        differences.push_back(std::string(list_name) + ": another signature: expected the Signature line of " +
                              expected_name + ", the server's list has another");
    }
    if (differences.empty()) {
        differences.push_back(std::string(list_name) + ": other bytes: expected the exact bytes of " + expected_name +
                              ", the server's list has the same lines in another order or with other line ends");
    }
}
