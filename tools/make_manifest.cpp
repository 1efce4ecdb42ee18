// make_manifest: the studio's publishing tool. Walks a release folder, hashes every file with
// the launcher's own MD5 and writes the update list that every launcher reads as written, with
// each file's bytes as an object and the block maps of large files beside it; signs it with the
// studio's key when asked, and makes that key; "verify" checks a published release
// (verify_command.cpp), "prune" removes objects no list still names (prune_command.cpp).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "delta/block_map.h"
#include "digest/sha256.h"
#include "tools/publishing/block_map_files.h"
#include "tools/publishing/key_in_release.h"
#include "tools/publishing/manifest_text.h"
#include "tools/publishing/object_store.h"
#include "tools/publishing/prune_command.h"
#include "tools/publishing/publish_rules.h"
#include "tools/publishing/release_hash.h"
#include "tools/publishing/release_walk.h"
#include "tools/publishing/rollback_list.h"
#include "tools/checking/served_list.h"
#include "tools/signing/signing_key.h"
#include "tools/checking/verify_command.h"
#include "tools/whole_file.h"
#include "update_list/base64.h"
#include "update_list/decimal.h"
#include "update_list/list_line.h"
#include "update_list/object_name.h"
#include "update_list/update_list.h"

static const int exit_refused = 1;
static const int exit_usage = 2;
// Files from this size on get a block map: for a smaller one, fetching it whole costs little more
// than its map and the requests for its changed blocks would.
static const uint64_t min_mapped_file_size = 1024 * 1024;

static const char usage_text[] =
    "usage: make_manifest RELEASE_DIR --version TEXT [options] -o UPLOAD_DIR/manifest.txt\n"
    "       make_manifest RELEASE_DIR --version TEXT --at-paths [options] > manifest.txt\n"
    "       make_manifest keygen KEYFILE\n"
    "       make_manifest rollback OLD_LIST --sign-key KEYFILE [options] -o manifest.txt\n"
    "       make_manifest verify URL [--expect FILE | --next FILE] [--public-key KEY] [--deep] [--connections N]\n"
    "       make_manifest prune UPLOAD_DIR --keep N [--dry-run]\n"
    "\n"
    "Writes the update list (manifest.txt) for the game files in RELEASE_DIR, and beside it, in\n"
    "the list's folder, everything to upload: each file's bytes once as launcher.objects/<md5>-<size>,\n"
    "the block maps, the launcher at its path (for launchers from before objects) and the list.\n"
    "Upload the objects and maps first (they never change under their names), the list last.\n"
    "Every list written is also kept in launcher.lists/ for prune.\n"
    "\n"
    "  --version TEXT     the release's name; required\n"
    "  --news FILE        message for the players: one News line per line of FILE, in UTF-8\n"
    "                     (a byte order mark, trailing blanks and leading empty lines dropped,\n"
    "                     CR LF read as LF)\n"
    "  --run PATH         the program START runs (default on the players' side: main.exe)\n"
    "  --delete PATH      a file every launcher deletes; repeatable\n"
    "  --keep PATTERN     files players may change (settings...): K| lines, fetched only when\n"
    "                     missing; '*' and '?' within a name, a pattern without '/' matches\n"
    "                     the file name in any folder; repeatable\n"
    "  --sign-key KEYFILE sign the list with the key in KEYFILE: a SHA-256 line per file, a\n"
    "                     Sequence line and the Signature line last\n"
    "  --sequence N       the signed release's number (default: the current UTC time in\n"
    "                     seconds); launchers refuse a number lower than one they accepted\n"
    "  --above URL        fetch the list served at URL (the Url of launcher.ini) and refuse a\n"
    "                     Sequence that is not above its one; a server that can't be asked\n"
    "                     stops the run\n"
    "  --next-key KEY     name the key the next lists will be signed with (a NextKey line):\n"
    "                     launchers that accept this list trust it from then on; KEY is a\n"
    "                     PublicKey value or a key file; only with --sign-key\n"
    "  -o FILE            write the list to FILE (replaced only once it is complete); its folder\n"
    "                     is the upload folder\n"
    "  --at-paths         no objects: the files stay at their paths in RELEASE_DIR and launchers\n"
    "                     fetch them as <path>?v=<md5>; publish RELEASE_DIR and the list\n"
    "  --launcher NAME    the launcher's file name at the players' (default launcher.exe),\n"
    "                     also published at its path\n"
    "  --no-delta         no block maps and no M| lines; launcher.maps/ is left as it is\n"
    "  --quiet            no progress lines on stderr\n"
    "  --help             this text\n"
    "\n"
    "Every F| file of 1 MiB or more gets a block map, launcher.maps/<md5>.map in the upload\n"
    "folder (in RELEASE_DIR with --at-paths), and an M| line, so that launchers holding an older\n"
    "copy fetch only the blocks they lack. An object or map already there is not rewritten.\n"
    "With --at-paths, maps the new list no longer names are removed once it is written; with\n"
    "objects, prune removes them.\n"
    "\n"
    "Files the launcher writes itself (launcher.ini, launcher.cache, launcher.release,\n"
    "launcher.switch, launcher.installed, launcher.keys, their .tmp files, Launcher.new.exe,\n"
    "Launcher.old.exe, *.part, *.part.tag), a top-level manifest.txt and everything in\n"
    "launcher.maps/, launcher.objects/ and launcher.lists/ are left out. Any path a launcher\n"
    "would drop or misread is refused with its reason, and so is a signing key anywhere in\n"
    "RELEASE_DIR, under any name; nothing is written then. Names are UTF-8, and two names\n"
    "Windows takes for one file (letter case, also beyond ASCII) are refused.\n"
    "\n"
    "keygen writes a new signing key to KEYFILE (readable by its owner only, never over an\n"
    "existing file) and prints the PublicKey line for every player's launcher.ini. Keep\n"
    "KEYFILE offline or in a CI secret, never in a release.\n"
    "\n"
    "rollback signs the content of OLD_LIST, a list published before, again as a new release:\n"
    "its files, news, Run, Delete and map lines as they were, with a Sequence above the one\n"
    "players hold, so that launchers that took a later release go back to it. It takes\n"
    "--sign-key, --sequence, --above, -o and --quiet as above, and --from-other-key for an\n"
    "OLD_LIST signed with another key than KEYFILE. With objects, whose names never change, only\n"
    "the new list goes up (it is kept in launcher.lists/ beside it, for prune); with --at-paths,\n"
    "upload the old release's files first.\n"
    "\n"
    "verify checks a published release as every launcher will see it; prune removes the objects\n"
    "and maps no recent list names; make_manifest verify --help and prune --help tell more.\n";

// The folder a list is written into: the upload folder when the list names objects.
static std::string folder_of(const std::string& list_file)
{
    size_t slash = list_file.find_last_of("/\\");
    return slash == std::string::npos ? "." : list_file.substr(0, slash == 0 ? 1 : slash);
}

struct Options {
    std::string release_dir;
    std::string news_file;
    std::string output_file;
    std::string key_file;  // --sign-key; empty for an unsigned list
    std::string launcher_name;  // the launcher's own entry, published at its path beside the objects
    std::string above_url;  // --above, ending in "/"; empty without it
    std::vector<std::string> keep_patterns;
    ManifestSettings settings;
    bool quiet;
    bool delta;     // block maps and M| lines
    bool objects;   // every file's bytes as an object in the upload folder; false: --at-paths
    std::string upload_dir;  // the list's folder with objects; the release folder without
};

// What parse_options found besides the options themselves.
static const int parsed_run = 0;
static const int parsed_help = -1;

// Returns exit_usage on a bad command line, parsed_help for --help, parsed_run to go on.
// The options a release and a rollback share: the key, the number, the served list it must be
// above, and where the list goes.
static bool is_signing_option(const std::string& arg)
{
    return arg == "--sign-key" || arg == "--sequence" || arg == "--above" || arg == "-o";
}

static bool take_signing_option(const std::string& arg, const std::string& value, Options& options,
                                bool& has_sequence, std::string& error_text)
{
    if (arg == "--sign-key") {
        options.key_file = value;
    } else if (arg == "-o") {
        options.output_file = value;
    } else if (arg == "--above") {
        if (!read_release_url(value, options.above_url)) {
            error_text = "--above takes the release's URL, http:// or https://";
            return false;
        }
    } else if (!read_decimal_digits(value.data(), value.size(), options.settings.sequence)) {
        error_text = "--sequence takes a number of digits only, at most 18446744073709551615";
        return false;
    } else {
        has_sequence = true;
    }
    return true;
}

static int parse_options(int argc, char** argv, Options& options, std::string& error_text)
{
    options.quiet = false;
    options.delta = true;
    options.objects = true;
    options.launcher_name = "launcher.exe";
    bool has_version = false;
    bool has_sequence = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            return parsed_help;
        }
        if (arg == "--quiet") {
            options.quiet = true;
            continue;
        }
        if (arg == "--no-delta") {
            options.delta = false;
            continue;
        }
        if (arg == "--at-paths") {
            options.objects = false;
            continue;
        }
        bool takes_value = arg == "--version" || arg == "--news" || arg == "--run" || arg == "--delete" ||
                           arg == "--keep" || arg == "-o" || arg == "--sign-key" || arg == "--sequence" ||
                           arg == "--launcher" || arg == "--above" || arg == "--next-key";
        if (takes_value) {
            if (i + 1 >= argc) {
                error_text = arg + " needs a value";
                return exit_usage;
            }
            std::string value = argv[++i];
            if (arg == "--version") {
                options.settings.version = value;
                has_version = true;
            } else if (arg == "--news") {
                options.news_file = value;
            } else if (arg == "--run") {
                options.settings.run = value;
            } else if (arg == "--delete") {
                options.settings.deletes.push_back(value);
            } else if (arg == "--keep") {
                options.keep_patterns.push_back(value);
            } else if (is_signing_option(arg)) {
                if (!take_signing_option(arg, value, options, has_sequence, error_text)) {
                    return exit_usage;
                }
            } else if (arg == "--launcher") {
                // Launchers know their own entry by their file name, so it lies at the top.
                if (value.empty() || value.find_first_of("/\\") != std::string::npos) {
                    error_text = "--launcher takes the file name players start, without a folder";
                    return exit_usage;
                }
                options.launcher_name = value;
            } else if (arg == "--next-key") {
                if (!read_public_key_argument(arg, value, options.settings.next_key, error_text)) {
                    return exit_usage;
                }
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            error_text = "unknown option " + arg;
            return exit_usage;
        } else if (options.release_dir.empty()) {
            options.release_dir = arg;
        } else {
            error_text = "more than one release folder: " + arg;
            return exit_usage;
        }
    }
    if (options.release_dir.empty()) {
        error_text = "no release folder given";
        return exit_usage;
    }
    if (!has_version) {
        error_text = "--version is required";
        return exit_usage;
    }
    if ((has_sequence || !options.above_url.empty()) && options.key_file.empty()) {
        error_text = "--sequence and --above number a signed list; give --sign-key too";
        return exit_usage;
    }
    if (!options.settings.next_key.empty() && options.key_file.empty()) {
        error_text = "--next-key is named by a signed list; give --sign-key too";
        return exit_usage;
    }
    options.settings.sign = !options.key_file.empty();
    if (options.settings.sign && !has_sequence) {
        options.settings.sequence = static_cast<uint64_t>(std::time(nullptr));
    }
    while (options.release_dir.size() > 1 &&
           (options.release_dir.back() == '/' || options.release_dir.back() == '\\')) {
        options.release_dir.pop_back();
    }
    options.upload_dir = options.release_dir;
    if (options.objects) {
        if (options.output_file.empty()) {
            error_text = "the objects go beside the list: give -o UPLOAD_DIR/manifest.txt (or --at-paths)";
            return exit_usage;
        }
        options.upload_dir = folder_of(options.output_file);
        options.settings.objects = objects_folder;
    }
    return parsed_run;
}

static bool file_path_less(const ReleaseFile& a, const ReleaseFile& b)
{
    return a.path < b.path;
}

static void say_left_out(const char* what, size_t count, const std::string& paths)
{
    if (count > 0) {
        std::fprintf(stderr, "left out %zu file(s) %s: %s\n", count, what, paths.c_str());
    }
}

// Leaves out the launcher's runtime files, saying so once, the list of an earlier run and the
// block maps' folder, whose files go to `map_folder`: make_manifest's own maps silently, anything
// else there with a word.
static void drop_files_not_published(std::vector<ReleaseFile>& files, std::vector<std::string>& map_folder)
{
    std::vector<ReleaseFile> kept;
    std::string runtime;
    size_t runtime_count = 0;
    std::string foreign;
    size_t foreign_count = 0;
    for (const ReleaseFile& file : files) {
        if (is_update_list_file(file.path)) {
            std::fprintf(stderr, "left out %s: the update list is never listed in itself\n", file.path.c_str());
        } else if (is_block_map_folder_file(file.path)) {
            map_folder.push_back(file.path);
            if (!is_block_map_file(file.path)) {
                foreign += (foreign_count == 0 ? "" : ", ") + file.path;
                ++foreign_count;
            }
        } else if (is_object_store_file(file.path)) {
            continue;
        } else if (is_launcher_runtime_file(file.path)) {
            runtime += (runtime_count == 0 ? "" : ", ") + file.path;
            ++runtime_count;
        } else {
            kept.push_back(file);
        }
    }
    say_left_out("the launcher writes itself", runtime_count, runtime);
    say_left_out("in launcher.maps/, which holds the block maps", foreign_count, foreign);
    files.swap(kept);
}

static bool is_kept(const std::vector<std::string>& patterns, const std::string& path, std::vector<bool>& used)
{
    bool kept = false;
    for (size_t i = 0; i < patterns.size(); ++i) {
        if (matches_keep_pattern(patterns[i], path)) {
            used[i] = true;
            kept = true;
        }
    }
    return kept;
}

// Stores the entry's block map, once per run for identical files, and names it on the entry.
static bool publish_block_map(const Options& options, const std::string& map, ManifestFile& entry,
                              std::set<std::string>& locations, std::string& error_text)
{
    std::string location = block_map_location(entry.md5);
    if (locations.insert(location).second && !store_block_map(options.upload_dir, location, map, error_text)) {
        return false;
    }
    entry.map_size = map.size();
    return sha256_text_of(map.data(), map.size(), entry.map_sha256, error_text);
}

// With objects, stores the file's bytes as its object (read again while the file is still in the
// system's cache) and the launcher's own file also at its path, where launchers from before
// objects fetch it.
static bool publish_bytes(const Options& options, ObjectStore& store, const ManifestFile& entry,
                          std::string& error_text)
{
    if (!options.objects) {
        return true;
    }
    std::string source = options.release_dir + "/" + entry.path;
    if (!store_object(store, object_location(options.settings.objects, entry.md5, entry.size), source, entry.md5,
                      entry.size, error_text)) {
        return false;
    }
    if (windows_file_key(entry.path) == windows_file_key(options.launcher_name)) {
        return store_at_path(options.upload_dir, entry.path, source, error_text);
    }
    return true;
}

// Hashes every file, stores it as an object, and writes the block maps of large F| files unless
// --no-delta; `locations` gets the maps the list names.
static bool hash_release(const Options& options, const std::vector<ReleaseFile>& found,
                         std::vector<ManifestFile>& files, std::set<std::string>& locations, std::string& error_text)
{
    ObjectStore store;
    if (options.objects && !open_object_store(options.upload_dir, store, error_text)) {
        return false;
    }
    uint64_t bytes_total = 0;
    for (const ReleaseFile& file : found) {
        bytes_total += file.size;
    }
    HashProgress progress;
    start_hash_progress(found.size(), bytes_total, options.quiet, progress);
    std::vector<bool> used(options.keep_patterns.size(), false);
    for (const ReleaseFile& file : found) {
        ManifestFile entry;
        entry.path = file.path;
        entry.keep = is_kept(options.keep_patterns, file.path, used);
        DigestRequest request = {options.settings.sign,
                                 options.delta && !entry.keep && file.size >= min_mapped_file_size &&
                                     file.size <= block_map_max_file_size,
                                 file.size};
        std::string reason;
        FileDigests digests;
        if (!digest_file(options.release_dir + "/" + file.path, request, progress, digests, reason)) {
            error_text = file.path + ": " + reason;
            return false;
        }
        entry.md5 = digests.md5;
        entry.sha256 = digests.sha256;
        entry.size = digests.size;
        if (entry.size != file.size) {
            error_text = file.path + ": changed while it was read; publish a folder nobody is writing to";
            return false;
        }
        if ((request.block_map && !publish_block_map(options, digests.block_map, entry, locations, reason)) ||
            !publish_bytes(options, store, entry, reason)) {
            error_text = file.path + ": " + reason;
            return false;
        }
        files.push_back(entry);
    }
    finish_hash_progress(progress);
    for (size_t i = 0; i < used.size(); ++i) {
        if (!used[i]) {
            std::fprintf(stderr, "warning: --keep %s matches no file\n", options.keep_patterns[i].c_str());
        }
    }
    return true;
}

static void warn_about_run(const ManifestSettings& settings, const std::vector<ManifestFile>& files)
{
    std::string program = settings.run.empty() ? "main.exe" : settings.run;
    std::string key = windows_file_key(program);
    for (const ManifestFile& file : files) {
        if (windows_file_key(file.path) == key) {
            return;
        }
    }
    std::fprintf(stderr, "warning: START runs %s, which this release does not hold\n", program.c_str());
}

// The list replaces the old one only once it is complete, so a server never serves half a list.
static bool write_output(const std::string& name, const std::string& text, std::string& error_text)
{
    if (name.empty()) {
        use_binary_stdout();
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
            error_text = "can't write the list to stdout";
            return false;
        }
        return true;
    }
    return replace_whole_file(name, text, error_text);
}

static int fail(const std::string& error_text)
{
    std::fprintf(stderr, "make_manifest: %s\n", error_text.c_str());
    return exit_refused;
}

static int refuse_files(const std::vector<std::string>& refusals, const char* what)
{
    for (const std::string& refusal : refusals) {
        std::fprintf(stderr, "make_manifest: refused %s\n", refusal.c_str());
    }
    std::fprintf(stderr, "make_manifest: %zu %s, nothing was written\n", refusals.size(), what);
    return exit_refused;
}

// A mistake on the command line: its one line and where the help is.
static int usage_error(const char* command, const std::string& error_text)
{
    std::fprintf(stderr, "%s: %s; see %s --help\n", command, error_text.c_str(), command);
    return exit_usage;
}

// Launchers refuse a signed release numbered below one they accepted, so a list must be numbered
// above the one it replaces in the -o file and, with --above, above the one players are served.
static bool check_sequence_against_held(const Options& options, std::string& error_text)
{
    uint64_t sequence = options.settings.sequence;
    return (options.output_file.empty() || check_sequence_above_file(options.output_file, sequence, error_text)) &&
           (options.above_url.empty() || check_sequence_above_served(options.above_url, sequence, error_text));
}

static int make_key(const std::string& key_file)
{
    SigningKey key;
    std::string error_text;
    if (!generate_signing_key(key, error_text) || !create_private_file(key_file, format_key_file(key), error_text)) {
        return fail(error_text);
    }
    std::printf("%s\n", public_key_line(key).c_str());
    std::fprintf(stderr,
                 "wrote the private key to %s: keep it offline or in a CI secret, never in a release.\n"
                 "Put the PublicKey line above under [Launcher] in every player's launcher.ini.\n",
                 key_file.c_str());
    return 0;
}

static bool read_key(const std::string& key_file, SigningKey& key, std::string& error_text)
{
    std::string text;
    if (!read_whole_file(key_file, text, error_text)) {
        return false;
    }
    if (!parse_key_file(text, key, error_text)) {
        error_text = key_file + ": " + error_text;
        return false;
    }
    return true;
}

static bool sign_text(const Options& options, const SigningKey& key, std::string& text, std::string& error_text)
{
    std::string signature;
    if (!sign_list_text(key, text, signature, error_text)) {
        return false;
    }
    append_signature_line(signature, text);
    if (!options.quiet) {
        std::fprintf(stderr, "signed as Sequence=%llu for %s\n",
                     static_cast<unsigned long long>(options.settings.sequence), public_key_line(key).c_str());
        if (!options.settings.next_key.empty()) {
            std::fprintf(stderr, "naming the next key NextKey=%s\n", encode_base64(options.settings.next_key).c_str());
        }
    }
    return true;
}

// What make_manifest rollback takes besides the signing options.
struct RollbackOptions {
    std::string old_list;
    bool other_key;  // --from-other-key: OLD_LIST may be signed with another key than --sign-key's
};

// argv[0] is "rollback". Returns exit_usage on a bad command line, parsed_help for --help,
// parsed_run to go on.
static int parse_rollback_options(int argc, char** argv, Options& options, RollbackOptions& rollback,
                                  std::string& error_text)
{
    options.quiet = false;
    rollback.other_key = false;
    bool has_sequence = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            return parsed_help;
        }
        if (arg == "--quiet") {
            options.quiet = true;
            continue;
        }
        if (arg == "--from-other-key") {
            rollback.other_key = true;
            continue;
        }
        if (is_signing_option(arg)) {
            if (i + 1 >= argc) {
                error_text = arg + " needs a value";
                return exit_usage;
            }
            if (!take_signing_option(arg, argv[++i], options, has_sequence, error_text)) {
                return exit_usage;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            error_text = "unknown option " + arg;
            return exit_usage;
        } else if (rollback.old_list.empty()) {
            rollback.old_list = arg;
        } else {
            error_text = "more than one old list: " + arg;
            return exit_usage;
        }
    }
    if (rollback.old_list.empty() || options.key_file.empty()) {
        error_text = "rollback takes the old list and --sign-key";
        return exit_usage;
    }
    options.settings.sign = true;
    if (!has_sequence) {
        options.settings.sequence = static_cast<uint64_t>(std::time(nullptr));
    }
    return parsed_run;
}

// A rollback is the old release's list, numbered above every release players may hold and
// signed again; nothing else of it changes.
static int run_rollback(int argc, char** argv)
{
    Options options;
    RollbackOptions rollback;
    std::string error_text;
    int parsed = parse_rollback_options(argc, argv, options, rollback, error_text);
    if (parsed == parsed_help) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (parsed != parsed_run) {
        return usage_error("make_manifest", error_text);
    }
    SigningKey key;
    std::string old_text;
    if (!read_key(options.key_file, key, error_text) || !read_whole_file(rollback.old_list, old_text, error_text) ||
        !check_sequence_against_held(options, error_text)) {
        return fail(error_text);
    }
    if (!rollback.other_key && !check_old_signature(old_text, key.public_xy, error_text)) {
        return fail(rollback.old_list + ": " + error_text + "; a list signed with another key of yours takes "
                                                            "--from-other-key");
    }
    std::string text;
    if (!renumber_signed_list(old_text, options.settings.sequence, text, error_text)) {
        return fail(rollback.old_list + ": " + error_text);
    }
    if (!sign_text(options, key, text, error_text)) {
        return fail(error_text);
    }
    if (text.size() > max_manifest_text_length) {
        return fail("the list would be " + std::to_string(text.size()) + " bytes; a launcher reads at most " +
                    std::to_string(max_manifest_text_length));
    }
    if (!write_output(options.output_file, text, error_text)) {
        return fail(error_text);
    }
    // A rollback served is a release like any other: prune must keep what it names.
    UpdateList rolled_back;
    if (!options.output_file.empty() && parse_update_list(text.c_str(), rolled_back) && !rolled_back.objects.empty() &&
        !keep_published_list(folder_of(options.output_file), text, error_text)) {
        return fail(error_text);
    }
    return 0;
}

static int run_keygen(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (argc != 2) {
        return usage_error("make_manifest", "keygen takes one KEYFILE");
    }
    // A name like an option is a mistake far more often than a file name.
    if (argv[1][0] == '-') {
        return usage_error("make_manifest", std::string("keygen takes a file name, not an option: ") + argv[1]);
    }
    return make_key(argv[1]);
}

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "verify") == 0) {
        return run_verify(argc - 1, argv + 1);
    }
    if (argc > 1 && std::strcmp(argv[1], "prune") == 0) {
        return run_prune(argc - 1, argv + 1);
    }
    if (argc > 1 && std::strcmp(argv[1], "keygen") == 0) {
        return run_keygen(argc - 1, argv + 1);
    }
    if (argc > 1 && std::strcmp(argv[1], "rollback") == 0) {
        return run_rollback(argc - 1, argv + 1);
    }
    Options options;
    std::string error_text;
    int parsed = parse_options(argc, argv, options, error_text);
    if (parsed == parsed_help) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (parsed != parsed_run) {
        return usage_error("make_manifest", error_text);
    }
    if (!options.news_file.empty()) {
        std::string news;
        if (!read_whole_file(options.news_file, news, error_text) ||
            !read_news_lines(news, options.settings.news, error_text)) {
            return fail(error_text);
        }
    }
    // Settings, key and paths are checked before any file is read, so a refusal comes at once.
    if (!check_manifest_settings(options.settings, error_text)) {
        return fail(error_text);
    }
    SigningKey key;
    if (options.settings.sign && !read_key(options.key_file, key, error_text)) {
        return fail(error_text);
    }
    if (options.settings.next_key == key.public_xy && options.settings.sign) {
        return fail("--next-key names the key the list is signed with; name the key that comes after it");
    }
    if (options.settings.sign && !check_sequence_against_held(options, error_text)) {
        return fail(error_text);
    }
    std::vector<ReleaseFile> found;
    if (!list_release_files(options.release_dir, found, error_text)) {
        return fail(error_text);
    }
    std::sort(found.begin(), found.end(), file_path_less);
    // Before anything is left out: a key in launcher.maps/ or under a launcher's name is uploaded too.
    std::vector<std::string> keys;
    if (!find_key_files(options.release_dir, found, key.private_d, keys)) {
        return refuse_files(keys, "signing key(s) in the release folder; move them out");
    }
    std::vector<std::string> map_folder;
    drop_files_not_published(found, map_folder);
    std::vector<std::string> paths;
    for (const ReleaseFile& file : found) {
        paths.push_back(file.path);
    }
    std::vector<std::string> refusals;
    if (!check_release_paths(paths, refusals)) {
        return refuse_files(refusals, "path(s) refused; rename them");
    }
    std::vector<ManifestFile> files;
    std::set<std::string> map_locations;
    if (!hash_release(options, found, files, map_locations, error_text)) {
        return fail(error_text);
    }
    std::string text;
    if (!write_manifest_text(options.settings, files, text, error_text)) {
        return fail(error_text);
    }
    if (options.settings.sign && !sign_text(options, key, text, error_text)) {
        return fail(error_text);
    }
    warn_about_run(options.settings, files);
    if (!write_output(options.output_file, text, error_text)) {
        return fail(error_text);
    }
    if (options.objects) {
        return keep_published_list(options.upload_dir, text, error_text) ? 0 : fail(error_text);
    }
    // Only now: until the new list is out, the one served names the old maps.
    if (options.delta && !remove_stale_block_maps(options.release_dir, map_folder, map_locations, error_text)) {
        return fail(error_text);
    }
    return 0;
}
