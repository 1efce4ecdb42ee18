// What the Windows-side tests share: the test update server (its folder, rules and request log),
// a fresh game folder per test, an internet session of their own, sinks and observers that
// record what they hear, and a hidden window whose controls record every report.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/pass_observer.h"
#include "game_folder/local_check.h"
#include "transfer/download.h"

// The reports that reached the window's controls, in order.
struct WindowLog {
    std::vector<std::string> status, detail, info;
    std::vector<unsigned> progress;
    std::vector<WPARAM> finished;  // wParam of each WM_UPDATE_FINISHED, once collected
    // wParam of each WM_INSTANCE_LOCK, with the number of status texts shown before it.
    std::vector<std::pair<WPARAM, size_t>> lock;
};

extern WindowLog window_log;

// Creates the recording window once and assigns main_window and its controls; empties the log.
void reset_window_log();
// Moves every posted WM_UPDATE_FINISHED into window_log.finished.
void collect_finished_messages();

// An observer that records straight into window_log, with no window behind it.
PassObserver recording_observer();

// Every pair of numbers a sink heard, in order.
using SinkLog = std::vector<std::pair<uint64_t, uint64_t>>;
CheckSink recording_check_sink(SinkLog& log);
TransferSink recording_transfer_sink(SinkLog& log);

// A fresh, empty game folder (ending in "\"), with empty server rules, request log and window
// log. Nothing of the launcher's process-wide state is set.
std::string fresh_game_folder();
// The test server's address, ending in "/".
std::string server_url();
// An internet session of the tests' own, opened once.
HINTERNET test_session();
// Downloads from the test server into `folder`.
DownloadSource test_source(const std::string& folder);

// The served folder, rules and request log of the running test server.
void serve_file(const std::string& relative, const std::string& content);
void set_rules(const std::string& json);
void clear_request_log();
std::vector<std::string> request_log();
// Requests in the log whose path is exactly `path`.
std::vector<std::string> requests_for(const std::string& path);
// The body bytes the server sent for each request of `path`, in order.
std::vector<uint64_t> bytes_sent_for(const std::string& path);

// Small file helpers on full Windows paths.
void write_file(const std::string& path, const std::string& content);
bool read_file(const std::string& path, std::string& content);
bool file_exists(const std::string& path);
std::string md5_text(const std::string& content);
std::string pattern_bytes(size_t size);
// Bytes that repeat nowhere, the same for the same seed; and the block map of a file.
std::string random_bytes(size_t size, unsigned seed);
std::string block_map_of(const std::string& file);

// An update-list entry line and a whole list with a Version line.
std::string list_line(const std::string& path, const std::string& content);
std::string make_list(const std::vector<std::string>& lines);
