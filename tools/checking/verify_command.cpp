// make_manifest verify: its options, the update list fetched, read and judged with the launcher's
// own parser and signed-list reader, the files and maps it names checked on the server, and the
// report: one line per problem and a closing count.
#include "tools/checking/verify_command.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/checking/http_get.h"
#include "tools/checking/list_difference.h"
#include "tools/checking/release_check.h"
#include "tools/checking/served_list.h"
#include "tools/signing/signing_key.h"
#include "tools/whole_file.h"
#include "transfer/size_text.h"
#include "transfer/url.h"
#include "update_list/base64.h"
#include "update_list/decimal.h"
#include "update_list/list_signature.h"
#include "update_list/signed_list.h"
#include "update_list/update_list.h"

static const int exit_clean = 0;
static const int exit_problems = 1;
static const int exit_usage = 2;
static const int exit_warnings = 3;
static const int default_connections = 8;
static const uint64_t most_connections = 32;
static const char list_name[] = "manifest.txt";
static const unsigned long status_ok = 200;
static const unsigned long status_not_found = 404;

static const char verify_usage[] =
    "usage: make_manifest verify URL [--expect FILE | --next FILE] [--public-key KEY] [--deep]\n"
    "                                [--connections N]\n"
    "\n"
    "Checks the release published at URL (the Url of launcher.ini) as every launcher will see it:\n"
    "fetches URL + manifest.txt past every cache, reads it with the launcher's parser, and asks the\n"
    "server for every listed file with the launcher's own request (one byte of it, for its size,\n"
    "which must come back as exactly that byte), asks the first file with a block map and the\n"
    "largest once more with If-Range, as deltas and resumed downloads do, and fetches every block\n"
    "map the list names (size, SHA-256, and read as the launcher reads it for its file).\n"
    "\n"
    "  --expect FILE      the served list must be FILE byte for byte (the list you meant to\n"
    "                     publish); otherwise each difference is a problem\n"
    "  --next FILE        before the upload of a new list: check FILE's files and maps on the\n"
    "                     server instead of the served list's, and that its Sequence is above\n"
    "                     the served list's (none served is fine)\n"
    "  --public-key KEY   check the signature and every entry's SHA-256 line; KEY is the PublicKey\n"
    "                     value (with or without \"PublicKey=\") or a key file of make_manifest keygen;\n"
    "                     repeatable (the working, next and backup keys): the list must be signed\n"
    "                     with one of them, and stderr says which\n"
    "  --deep             also download every file and check its MD5 (and its SHA-256 in a signed\n"
    "                     list); plain verify checks sizes only: run --deep once per release\n"
    "  --connections N    requests at once, 1 to 32 (default 8)\n"
    "\n"
    "Prints one line per problem (players will fail) and per warning (players succeed, slower),\n"
    "and a last line \"verify: N files, N problems, N warnings, ...\". Exit status: 0 nothing\n"
    "found, 1 problems, 2 a mistake on the command line, 3 warnings only.\n";

struct VerifyOptions {
    std::string base_url;      // ends in "/"
    std::string expect_file;   // empty without --expect
    std::string expect_text;   // that file's bytes
    std::string next_file;     // empty without --next
    std::string next_text;     // that file's bytes: the list checked instead of the served one
    std::vector<std::string> public_keys;  // 64 bytes X||Y each, in the order of the --public-key options
    bool deep;
    int connections;
};

static double now_seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

static bool take_option(const std::string& arg, const std::string& value, VerifyOptions& options,
                        std::string& error_text)
{
    if (arg == "--expect") {
        options.expect_file = value;
        return read_whole_file(value, options.expect_text, error_text);
    }
    if (arg == "--next") {
        options.next_file = value;
        return read_whole_file(value, options.next_text, error_text);
    }
    if (arg == "--public-key") {
        std::string key;
        if (!read_public_key_argument(arg, value, key, error_text)) {
            return false;
        }
        options.public_keys.push_back(key);
        return true;
    }
    uint64_t count = 0;
    if (!read_decimal_digits(value.data(), value.size(), count) || count < 1 || count > most_connections) {
        error_text = "--connections takes a number from 1 to 32";
        return false;
    }
    options.connections = static_cast<int>(count);
    return true;
}

static bool parse_verify_options(int argc, char** argv, VerifyOptions& options, std::string& error_text)
{
    options.deep = false;
    options.connections = default_connections;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--deep") {
            options.deep = true;
        } else if (arg == "--expect" || arg == "--next" || arg == "--public-key" || arg == "--connections") {
            if (i + 1 >= argc) {
                error_text = arg + " needs a value";
                return false;
            }
            if (!take_option(arg, argv[++i], options, error_text)) {
                return false;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            error_text = "unknown option " + arg;
            return false;
        } else if (options.base_url.empty()) {
            options.base_url = arg;
        } else {
            error_text = "more than one URL: " + arg;
            return false;
        }
    }
    if (!options.expect_file.empty() && !options.next_file.empty()) {
        error_text = "--expect checks the list after its upload, --next before it: give one";
        return false;
    }
    if (!read_release_url(options.base_url, options.base_url)) {
        error_text = "verify needs the release's URL, http:// or https://";
        return false;
    }
    return true;
}

// Fetches the list as the launcher does. False with its problem line when no list came; with
// --next, a 404 is no problem: the first release has no list before it.
static bool fetch_list(const VerifyOptions& options, std::string& text, uint64_t& received, std::string& problem)
{
    bool answered = false;
    HttpAnswer answer;
    std::string error_text;
    if (!fetch_served_list(options.base_url, answered, answer, error_text)) {
        problem = std::string(list_name) + ": not fetched: " + error_text;
        return false;
    }
    received = answer.received;
    if (answered && answer.status == status_not_found && !options.next_file.empty()) {
        text.clear();
        problem.clear();
        return true;
    }
    problem = answer_problem(list_name, "the update list (at most 16 MiB)", answered, answer);
    if (problem.empty() && answer.status != status_ok) {
        problem = std::string(list_name) + ": HTTP " + std::to_string(answer.status) +
                  ": expected the update list, the server answered " + std::to_string(answer.status);
    }
    text = answer.body;
    return problem.empty();
}

// --next: every launcher that took the served list refuses the next one unless its Sequence is
// higher; a served list without one (unsigned) holds nothing back.
static void compare_with_served(const VerifyOptions& options, const std::string& served,
                                std::vector<std::string>& problems)
{
    uint64_t held = 0;
    if (!find_list_sequence(served, held)) {
        return;
    }
    uint64_t next = 0;
    if (!find_list_sequence(options.next_text, next)) {
        problems.push_back(options.next_file + ": no Sequence: expected a release above Sequence=" +
                           std::to_string(held) + " of the served list, which launchers that took it refuse");
    } else if (next <= held) {
        problems.push_back(options.next_file + ": Sequence not above the served one: expected above " +
                           std::to_string(held) + ", " + options.next_file + " has " + std::to_string(next) +
                           ": launchers that took the served list refuse it");
    }
}

static std::string signature_problem(const std::string& reason)
{
    return std::string(list_name) + ": signature fails: expected a list signed with the key, the launcher says: " +
           reason;
}

// The signature over the fetched bytes under the first of `keys` it holds for, as a launcher
// trusting them all tries them; stderr says which. `signed_text` is cut to the signed bytes.
// False with the reason the first key gives.
static bool check_signature(const std::vector<std::string>& keys, const std::string& text, std::string& signed_text,
                            std::string& error_text)
{
    ListSignature found;
    if (!find_list_signature(text, found, error_text)) {
        return false;
    }
    std::string first_reason;
    for (size_t i = 0; i < keys.size(); ++i) {
        std::string reason;
        if (verify_list_signature(keys[i], text.data(), found.signed_length, found.signature, reason)) {
            std::fprintf(stderr, "%s: signed with PublicKey=%s (--public-key %zu of %zu)\n", list_name,
                         encode_base64(keys[i]).c_str(), i + 1, keys.size());
            signed_text.resize(found.signed_length);
            return true;
        }
        if (first_reason.empty()) {
            first_reason = reason;
        }
    }
    error_text = first_reason;
    return false;
}

// The launcher's steps with a PublicKey: the signature over the bytes as fetched, then the
// parser over the signed bytes alone, then a SHA-256 line for every entry. A list that fails is
// still read as a launcher without a key reads it, so that its files are checked all the same.
// Without a key, a signed list's SHA-256 lines are still taken for --deep.
static bool read_list(const VerifyOptions& options, const std::string& text, UpdateList& list,
                      std::vector<std::string>& problems)
{
    std::string signed_text = text;
    std::string reason;
    bool is_signed = !options.public_keys.empty();
    if (is_signed && !check_signature(options.public_keys, text, signed_text, reason)) {
        problems.push_back(signature_problem(reason));
        is_signed = false;
    }
    if (!parse_update_list(signed_text.c_str(), list)) {
        problems.push_back(std::string(list_name) +
                           ": broken: expected a Version line or a file line, the launcher finds neither");
        return false;
    }
    std::vector<UpdateEntry> hashed = list.files;
    uint64_t sequence = 0;
    if (read_signed_lines(signed_text, hashed, sequence, reason)) {
        list.files.swap(hashed);
    } else if (is_signed) {
        problems.push_back(signature_problem(reason));
    }
    std::string next_key;
    if (is_signed && !read_next_key(signed_text, next_key, reason)) {
        problems.push_back(signature_problem(reason));
    } else if (!next_key.empty()) {
        std::fprintf(stderr, "%s: names the next key NextKey=%s\n", list_name, encode_base64(next_key).c_str());
    }
    return true;
}

static void compare_with_expected(const VerifyOptions& options, const std::string& served,
                                  std::vector<std::string>& problems)
{
    if (options.expect_file.empty()) {
        return;
    }
    std::vector<std::string> differences;
    list_differences(options.expect_text, options.expect_file, served, differences);
    problems.insert(problems.end(), differences.begin(), differences.end());
}

static std::string count_text(size_t count, const char* one, const char* more)
{
    return std::to_string(count) + " " + (count == 1 ? one : more);
}

// The warnings come first, as they concern the whole server; the exit status tells a release
// players will fail on from one that works, only slower.
static int report(const std::vector<std::string>& problems, const std::vector<std::string>& warnings, size_t files,
                  size_t maps, uint64_t received, double started)
{
    for (const std::string& warning : warnings) {
        std::printf("%s\n", warning.c_str());
    }
    for (const std::string& problem : problems) {
        std::printf("%s\n", problem.c_str());
    }
    std::string map_text = maps == 0 ? std::string() : count_text(maps, "block map", "block maps") + ", ";
    std::printf("verify: %s, %s, %s, %s%s received in %.2f s\n", count_text(files, "file", "files").c_str(),
                count_text(problems.size(), "problem", "problems").c_str(),
                count_text(warnings.size(), "warning", "warnings").c_str(), map_text.c_str(),
                format_size(received).c_str(), now_seconds() - started);
    std::fflush(stdout);
    if (!problems.empty()) {
        return exit_problems;
    }
    return warnings.empty() ? exit_clean : exit_warnings;
}

static bool asks_for_help(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            return true;
        }
    }
    return false;
}

int run_verify(int argc, char** argv)
{
    double started = now_seconds();
    if (asks_for_help(argc, argv)) {
        std::fputs(verify_usage, stdout);
        return exit_clean;
    }
    VerifyOptions options;
    std::string error_text;
    if (!parse_verify_options(argc, argv, options, error_text)) {
        std::fprintf(stderr, "make_manifest verify: %s; see make_manifest verify --help\n", error_text.c_str());
        return exit_usage;
    }
    std::vector<std::string> problems;
    std::vector<std::string> warnings;
    std::string text;
    uint64_t received = 0;
    std::string problem;
    if (!fetch_list(options, text, received, problem)) {
        problems.push_back(problem);
        return report(problems, warnings, 0, 0, received, started);
    }
    // The comparison comes first: a list that differs explains the problems found after it.
    compare_with_expected(options, text, problems);
    if (!options.next_file.empty()) {
        compare_with_served(options, text, problems);
        text = options.next_text;
    }
    UpdateList list;
    if (!read_list(options, text, list, problems)) {
        return report(problems, warnings, 0, 0, received, started);
    }
    FileCheckSettings settings = {options.base_url, options.connections, options.deep};
    FileCheckResult result;
    if (!check_published_files(settings, list, result, error_text)) {
        problems.push_back("verify: not run: " + error_text);
        return report(problems, warnings, list.files.size(), list.maps.size(), received, started);
    }
    problems.insert(problems.end(), result.problems.begin(), result.problems.end());
    return report(problems, result.warnings, list.files.size(), list.maps.size(), received + result.received,
                  started);
}
