// One update pass on its worker thread: connect, fetch and apply the update list, check the
// local files, fetch what is missing or different, and tell the window how the pass ended.
#include "engine/update_worker.h"

#include <cstdio>
#include <string>

#include "engine/self_update.h"
#include "shell/launcher_state.h"
#include "shell/status.h"
#include "transfer/download.h"
#include "transfer/fetch_text.h"
#include "transfer/http_request.h"
#include "transfer/size_text.h"
#include "update_list/local_check.h"
#include "update_list/update_list.h"

static const char list_name[] = "manifest.txt";
static const char user_agent[] = "Tavrinor-Launcher/1.0";
static const int attempts_per_file = 3;
static const DWORD retry_pause_ms = 1000;
static const unsigned progress_full = 1000;

enum class PassEnd { failed, succeeded, restarted };

// The session outlives the pass; the time-outs are set again on every pass all the same.
static bool prepare_session()
{
    if (internet_session == NULL)
        internet_session = InternetOpenA(user_agent, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (internet_session == NULL)
        return false;
    DWORD timeout = network_timeout_ms;
    InternetSetOptionA(internet_session, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout));
    InternetSetOptionA(internet_session, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
    return true;
}

// The tick count in the query makes every pass's URL new to any cache on the way.
static std::string list_url()
{
    char query[32];
    snprintf(query, sizeof(query), "?t=%lu", GetTickCount());
    return std::string(base_url) + list_name + query;
}

// Edit controls and statics break lines only at CR LF.
static std::string with_crlf(const std::string& text)
{
    std::string converted;
    converted.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        if (c == '\n')
            converted += '\r';
        converted += c;
    }
    return converted;
}

// The list's message, game program and deletions stay in force whatever the pass does later.
static void apply_list(const UpdateList& list)
{
    if (!list.news.empty())
        SetWindowTextA(info_text, with_crlf(list.news).c_str());
    if (!list.run.empty())
        snprintf(game_exe, sizeof(game_exe), "%s", list.run.c_str());
    for (const std::string& name : list.deletes) {
        std::string path = local_path(name);
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
    }
}

// A file held open by the running game won't be freed by waiting a second, so "in use" ends the
// attempts at once.
static bool download_with_attempts(const UpdateEntry& entry, uint64_t& done_bytes,
                                   uint64_t total_bytes, std::string& error_text)
{
    for (int attempt = 0; attempt < attempts_per_file; ++attempt) {
        if (download_file(entry, local_path(entry.path), done_bytes, total_bytes, error_text))
            return true;
        if (error_text.find("in use") != std::string::npos)
            return false;
        Sleep(retry_pause_ms);
    }
    return false;
}

// Fetches every entry in list order; the first that fails for good ends the step, after the
// records of the files fetched so far are saved.
static bool download_all(const LocalCheck& check, HashCache& cache)
{
    int count = int(check.download_list.size());
    std::string total_text = format_size(check.download_total);
    uint64_t done_bytes = 0;
    std::string error_text;
    for (int i = 0; i < count; ++i) {
        const UpdateEntry& entry = check.download_list[size_t(i)];
        set_status("Downloading %d / %d  (%s)", i + 1, count, total_text.c_str());
        if (!download_with_attempts(entry, done_bytes, check.download_total, error_text)) {
            save_hash_cache(cache);
            set_status("Download failed: %s", error_text.c_str());
            set_detail("%s", entry.path.c_str());
            return false;
        }
        record_download(entry, cache);
    }
    return true;
}

static PassEnd succeed_pass(const char* end_text, size_t file_count)
{
    set_progress(progress_full);
    set_status("%s", end_text);
    set_detail("%d files checked.", int(file_count));
    return PassEnd::succeeded;
}

// Everything of the pass lives in here and is released when it returns, on every path.
static PassEnd run_pass()
{
    remove_old_launcher();
    set_status("Connecting to the update server...");
    set_detail("");
    set_progress(0);
    if (!prepare_session()) {
        set_status("No internet connection.");
        return PassEnd::failed;
    }
    std::string list_text;
    std::string error_text;
    if (!fetch_text(list_url().c_str(), list_text, error_text)) {
        set_status("Can't reach the update server (%s).", error_text.c_str());
        set_detail("You can still START with the files you have, or try again.");
        return PassEnd::failed;
    }
    UpdateList list;
    if (!parse_update_list(list_text.c_str(), list)) {
        set_status("The update list is broken - try again later.");
        return PassEnd::failed;
    }
    apply_list(list);
    HashCache cache;
    load_hash_cache(cache);
    if (list.files.empty()) {
        save_hash_cache(cache);
        return succeed_pass("Your game is up to date.", 0);
    }
    LocalCheck check;
    check_local_files(list.files, cache, check);
    save_hash_cache(cache);
    if (check.self_index >= 0 && replace_launcher(check))
        return PassEnd::restarted;
    if (check.download_list.empty())
        return succeed_pass("Your game is up to date.", list.files.size());
    if (!download_all(check, cache))
        return PassEnd::failed;
    save_hash_cache(cache);
    return succeed_pass("Update complete.", list.files.size());
}

DWORD WINAPI update_worker(LPVOID)
{
    PassEnd end = run_pass();
    if (end != PassEnd::restarted)
        PostMessageA(main_window, WM_UPDATE_FINISHED, end == PassEnd::succeeded ? 1 : 0, 0);
    return 0;
}
