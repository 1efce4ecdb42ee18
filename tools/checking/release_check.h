// make_manifest verify's check of what a published list names: every file at the address a
// launcher asks for, with its size (and with --deep its digests) and the ranges a delta asks,
// and every block map with its size, SHA-256 and the launcher's reading of it; run on several
// connections with a progress line on stderr.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/checking/http_get.h"
#include "update_list/update_list.h"

struct FileCheckSettings {
    std::string base_url;  // the release's address, ending in "/"
    int connections;       // requests at once
    bool deep;             // also download every file and compare its digests
};

struct FileCheckResult {
    std::vector<std::string> problems;  // one line each in list order: players will fail on these
    std::vector<std::string> warnings;  // the server's own lines: players succeed, slower (no ranges, ...)
    uint64_t received;                  // body bytes of all requests
};

// Checks every entry and block map of `list`. False with the reason when no connection could be
// started; every problem and warning of the release itself is a line in `result`.
bool check_published_files(const FileCheckSettings& settings, const UpdateList& list, FileCheckResult& result,
                           std::string& error_text);

// The problem line "<name>: <what>: expected <expected>, <what the server gave>" for a request
// that got no answer or one other than 200 or 206; empty for those two. A 404 can't tell a
// letter-case mistake from a missing upload, and says so.
std::string answer_problem(const std::string& name, const std::string& expected, bool answered,
                           const HttpAnswer& answer);
