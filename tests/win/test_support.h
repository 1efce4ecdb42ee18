// What the Windows-side tests share: the test update server (its folder, rules and request log),
// a fresh launcher folder per test, and a hidden window whose controls record every report.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The reports that reached the window's controls, in order.
struct WindowLog {
    std::vector<std::string> status, detail, info;
    std::vector<unsigned> progress;
    std::vector<WPARAM> finished;  // wParam of each WM_UPDATE_FINISHED, once collected
};

extern WindowLog window_log;

// Creates the recording window once and assigns main_window and its controls; empties the log.
void reset_window_log();
// Moves every posted WM_UPDATE_FINISHED into window_log.finished.
void collect_finished_messages();

// Gives the process a fresh, empty launcher folder as program_dir and the test server as
// base_url; opens internet_session when it is null. Returns program_dir.
std::string fresh_program_dir();

// The served folder, rules and request log of the running test server.
void serve_file(const std::string& relative, const std::string& content);
void set_rules(const std::string& json);
void clear_request_log();
std::vector<std::string> request_log();
// Requests in the log whose path is exactly `path`.
std::vector<std::string> requests_for(const std::string& path);

// Small file helpers on full Windows paths.
void write_file(const std::string& path, const std::string& content);
bool read_file(const std::string& path, std::string& content);
bool file_exists(const std::string& path);
std::string md5_text(const std::string& content);
std::string pattern_bytes(size_t size);

// An update-list entry line and a whole list with a Version line.
std::string list_line(const std::string& path, const std::string& content);
std::string make_list(const std::vector<std::string>& lines);
