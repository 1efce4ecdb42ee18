// The switch record and the installed record, both small text files the launcher writes whole: a
// "Run=" line, the "Format=2" line, then one line per listed path of the release ("F|" replaced
// when it differs, "K|" kept); the switch record adds the moves ("M|") and the deletions ("D|")
// that are under way. Records without "Format=2" come from earlier launchers, which wrote every
// listed path as "F|".
#include "game_folder/release_switch.h"

#include <windows.h>

#include <set>

#include "game_folder/durable_file.h"
#include "transfer/part_file.h"
#include "update_list/local_path.h"
#include "update_list/safe_path.h"

static const char switch_record_name[] = "launcher.switch";
static const char installed_record_name[] = "launcher.installed";
static const DWORD record_limit = 64 * 1024 * 1024;
static const size_t report_every = 16;
static const char kinds_apart_line[] = "Format=2";

static std::string record_text(const ReleaseSwitch& change, bool with_steps)
{
    std::string text = "Run=" + change.program + "\n";
    if (change.kinds_apart)
        text += std::string(kinds_apart_line) + "\n";
    for (const std::string& path : change.files)
        text += "F|" + path + "\n";
    for (const std::string& path : change.kept)
        text += "K|" + path + "\n";
    if (!with_steps)
        return text;
    for (const std::string& path : change.moves)
        text += "M|" + path + "\n";
    for (const std::string& path : change.deletes)
        text += "D|" + path + "\n";
    return text;
}

static bool read_record(const std::string& path, std::string& text)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    bool read = GetFileSizeEx(file, &size) && size.QuadPart <= LONGLONG(record_limit);
    if (read) {
        text.assign(size_t(size.QuadPart), '\0');
        DWORD got = 0;
        read = text.empty() || (ReadFile(file, &text[0], DWORD(text.size()), &got, NULL) && got == text.size());
    }
    CloseHandle(file);
    return read;
}

// A record is only ever written by the launcher, whole; a line that is not one of its own, or a
// path the list could not have named, is passed over rather than acted on.
static void parse_record(const std::string& text, ReleaseSwitch& change)
{
    change.kinds_apart = false;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.compare(0, 4, "Run=") == 0) {
            std::string program = line.substr(4);
            if (is_safe_relative_path(program.data(), program.size()))
                change.program = program;
            continue;
        }
        if (line == kinds_apart_line)
            change.kinds_apart = true;
        if (line.size() < 3 || line[1] != '|')
            continue;
        std::string path = line.substr(2);
        if (!is_safe_relative_path(path.data(), path.size()) || is_launcher_own_file(path.data(), path.size()))
            continue;
        if (line[0] == 'F')
            change.files.push_back(path);
        else if (line[0] == 'K')
            change.kept.push_back(path);
        else if (line[0] == 'M')
            change.moves.push_back(path);
        else if (line[0] == 'D')
            change.deletes.push_back(path);
    }
}

bool may_switch(const std::string& folder, const ReleaseSwitch& change, std::string& failed_path,
                std::string& error_text)
{
    for (const std::vector<std::string>* paths : {&change.moves, &change.deletes}) {
        for (const std::string& path : *paths) {
            if (!may_take_name(join_local_path(folder, path), error_text)) {
                failed_path = path;
                return false;
            }
        }
    }
    return true;
}

static bool any_to_delete(const std::string& folder, const ReleaseSwitch& change)
{
    for (const std::string& path : change.deletes) {
        if (GetFileAttributesA(join_local_path(folder, path).c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
    }
    return false;
}

// A part that is gone has taken its name already, before a cut; it is looked for only when its
// move fails, so that a switch costs one call per file. Tags stay beside the moved files until
// the pass clears what its parts left: their removal would double the switch's calls.
static bool move_and_delete(const std::string& folder, const ReleaseSwitch& change, const SwitchSink& progress,
                            std::string& failed_path, std::string& error_text)
{
    size_t count = change.moves.size();
    progress.moved(progress.context, 0, count);
    for (size_t i = 0; i < count; ++i) {
        std::string target = join_local_path(folder, change.moves[i]);
        std::string part = target + ".part";
        if (!place_part(part, target, false, error_text) && GetFileAttributesA(part.c_str()) != INVALID_FILE_ATTRIBUTES) {
            failed_path = change.moves[i];
            return false;
        }
        if ((i + 1) % report_every == 0 || i + 1 == count)
            progress.moved(progress.context, i + 1, count);
    }
    for (const std::string& name : change.deletes) {
        std::string path = join_local_path(folder, name);
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
    }
    return true;
}

// The installed record is rewritten only when it changes: most passes change nothing.
static void record_installed(const std::string& folder, const ReleaseSwitch& change)
{
    std::string path = folder + installed_record_name;
    std::string text = record_text(change, false);
    std::string old_text;
    if (!read_record(path, old_text) || old_text != text)
        replace_file_durably(path, text);
}

bool run_switch(const std::string& folder, const ReleaseSwitch& change, const SwitchSink& progress,
                std::string& failed_path, std::string& error_text)
{
    if (change.moves.empty() && !any_to_delete(folder, change)) {
        record_installed(folder, change);
        return true;
    }
    if (!replace_file_durably(folder + switch_record_name, record_text(change, true))) {
        failed_path = switch_record_name;
        error_text = "can't write the switch record";
        return false;
    }
    if (!move_and_delete(folder, change, progress, failed_path, error_text))
        return false;
    record_installed(folder, change);
    return true;
}

void end_switch(const std::string& folder)
{
    DeleteFileA((folder + switch_record_name).c_str());
}

bool finish_pending_switch(const std::string& folder, const SwitchSink& progress, std::string& failed_path,
                           std::string& error_text)
{
    std::string text;
    if (!read_record(folder + switch_record_name, text))
        return true;
    ReleaseSwitch change;
    parse_record(text, change);
    if (!move_and_delete(folder, change, progress, failed_path, error_text))
        return false;
    record_installed(folder, change);
    end_switch(folder);
    return true;
}

// Windows folds the letter case of names, beyond ASCII too (as the ANSI calls the launcher makes
// read them), and takes "/" for "\": two paths with one key name one file.
static std::wstring name_key(const std::string& path)
{
    std::string local = join_local_path("", path);
    int length = MultiByteToWideChar(CP_ACP, 0, local.data(), int(local.size()), NULL, 0);
    std::wstring wide(size_t(length), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_ACP, 0, local.data(), int(local.size()), &wide[0], length);
    std::wstring key = wide;
    if (length > 0 && LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide.data(), length, &key[0], length) == length)
        return key;
    return wide;
}

static bool is_file(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void add_dropped_files(const std::string& folder, const std::string& launcher_file, ReleaseSwitch& change)
{
    std::string text;
    ReleaseSwitch installed;
    if (!read_record(folder + installed_record_name, text))
        return;
    parse_record(text, installed);
    if (!installed.kinds_apart)
        return;
    if (change.files.empty() && change.kept.empty()) {
        change.files = installed.files;
        change.kept = installed.kept;
        return;
    }
    std::set<std::wstring> staying = {name_key(launcher_file)};
    for (const std::vector<std::string>* paths : {&change.files, &change.kept, &change.deletes}) {
        for (const std::string& path : *paths)
            staying.insert(name_key(path));
    }
    for (const std::string& path : installed.files) {
        if (staying.insert(name_key(path)).second && is_file(join_local_path(folder, path)))
            change.deletes.push_back(path);
    }
}

bool read_installed_program(const std::string& folder, std::string& program)
{
    std::string text;
    if (!read_record(folder + installed_record_name, text))
        return false;
    ReleaseSwitch change;
    parse_record(text, change);
    if (change.program.empty())
        return false;
    program = change.program;
    return true;
}
