// What a studio may publish in an update list: why a path is refused, which files belong to the
// launcher itself or to make_manifest's block maps rather than to the game, and the keep patterns.
#pragma once

#include <string>

// True when every launcher reads `path` back exactly as written (as a list path, "/" or "\"
// between names) and can place it under that very name on a Windows disk; otherwise false with
// the reason.
bool check_published_path(const std::string& path, std::string& error_text);

// True for the files a launcher writes beside the game ("launcher.ini", "launcher.cache",
// "launcher.release", "launcher.switch", "launcher.installed", "launcher.keys", the ".tmp" files
// of the last five, "Launcher.new.exe", "Launcher.old.exe" at the top, "*.part" and "*.part.tag"
// anywhere), in any letter case since the players' disks ignore it.
bool is_launcher_runtime_file(const std::string& path);

// True for the update list's own name at the top of the folder: a file there would be served at
// the list's address, so it can never be a game file, and is the list of an earlier run.
bool is_update_list_file(const std::string& path);

// True for anything below a top-level "launcher.maps/" in any letter case: the folder where
// make_manifest keeps the block maps, never a game file.
bool is_block_map_folder_file(const std::string& path);

// True for a name make_manifest itself gives in that folder: "launcher.maps/<anything>.map" and
// the ".map.tmp" a stopped run may leave, in any letter case.
bool is_block_map_file(const std::string& path);

// Where the map of a file with MD5 `md5` lies, "launcher.maps/<md5>.map": a changed file gets a
// new name, so a map can be cached for ever, and identical files share one map.
std::string block_map_location(const std::string& md5);

// Glob match of a "/"-separated path: "*" is any run of bytes within one name, "?" one byte
// other than "/"; a pattern without "/" is matched against the last name only. Byte-wise.
bool matches_keep_pattern(const std::string& pattern, const std::string& path);

// The name under which Windows knows the file: letters of the Latin, Greek, Cyrillic and
// Armenian scripts (and full-width Latin) in capitals as Windows' file systems fold them, "\"
// read as "/". Two paths with one key are one file on a player's disk.
std::string windows_file_key(const std::string& path);
