// The upload folder of a release published as objects: every file's bytes stored once under the
// name its content gives, the launcher kept at its path for launchers from before objects, and
// every list published from it kept, so that prune knows what players may still ask for.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The folder of the objects below the upload folder, as the list's "Objects" line names it.
extern const char objects_folder[];
// The folder of the lists published from the upload folder, each under its number.
extern const char lists_folder[];

// True for anything below a top-level objects or lists folder in any letter case: make_manifest's
// own, never a game file, even when the release folder is the upload folder.
bool is_object_store_file(const std::string& path);

// The objects of an upload folder: the folder, and the objects in it by location with their sizes.
struct ObjectStore {
    std::string upload_dir;
    std::map<std::string, uint64_t> present;
};

// Makes the objects folder below `upload_dir` when missing and reads what it holds.
bool open_object_store(const std::string& upload_dir, ObjectStore& store, std::string& error_text);

// Stores the bytes of the release file `source` (MD5 `md5`, `size` bytes) at `location`, through
// a temporary file and a rename. An object of that size already there is left alone: the name is
// its content, so it is never rewritten, identical files are stored once, and sync tools upload
// nothing. False with the reason, also when the copied bytes are not the ones hashed.
bool store_object(ObjectStore& store, const std::string& location, const std::string& source, const std::string& md5,
                  uint64_t size, std::string& error_text);

// Copies the release file `source` to `path` below `upload_dir` unless the same bytes are there.
bool store_at_path(const std::string& upload_dir, const std::string& path, const std::string& source,
                   std::string& error_text);

// Keeps `text` as the newest list below `upload_dir` ("<lists_folder>00000001.txt" and up, each
// written whole), unless the newest kept one has the same bytes. False with the reason.
bool keep_published_list(const std::string& upload_dir, const std::string& text, std::string& error_text);

// The kept lists among the upload folder's `paths` (relative, "/" between names), newest first.
std::vector<std::string> kept_lists_newest_first(const std::vector<std::string>& paths);
