// One update pass: finish a switch an earlier launcher left, connect, fetch the update list, check
// the local files, fetch what is missing or different into verified parts, switch the release in
// at once, and tell the observer how the pass ended.
#include "engine/update_pass.h"

#include <string>

#include "engine/download_batch.h"
#include "engine/internet_session.h"
#include "engine/pass_report.h"
#include "engine/release_install.h"
#include "engine/self_update.h"
#include "engine/signed_release.h"
#include "game_folder/local_check.h"
#include "transfer/download.h"
#include "transfer/fetch_text.h"
#include "transfer/url.h"
#include "update_list/update_list.h"

static const unsigned progress_full = 1000;
static const uint64_t progress_scale = 1000;
static const DWORD most_check_threads = 4;

// The list's message shows whatever the pass does later; its program and deletions belong to the
// release and take effect with its switch.
static void show_news(const PassObserver& observer, const UpdateList& list)
{
    if (!list.news.empty())
        observer.news(observer.context, list.news.c_str());
}

static void report_checked(void* context, size_t checked, size_t count)
{
    const PassObserver& observer = *static_cast<const PassObserver*>(context);
    show_status(observer, "Checking files... %d / %d", int(checked), int(count));
    show_progress(observer, unsigned(uint64_t(checked) * progress_scale / uint64_t(count)));
}

// Reading files on several cores pays while a player's disk delivers more than one core hashes;
// beyond four threads the disk is the limit.
static int check_threads()
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    DWORD cores = system.dwNumberOfProcessors;
    return int(cores < most_check_threads ? cores : most_check_threads);
}

static void check_files(const PassSettings& settings, PassObserver observer,
                        const UpdateList& list, HashCache& cache, LocalCheck& check)
{
    CheckSink checked = {report_checked, &observer};
    check_local_files(settings.folder, settings.launcher_file, list.files, cache, check_threads(),
                      checked, check);
}

// Nothing of such a list is applied: no message, no game program, no deletion, no download.
static PassEnd fail_signature_check(const PassObserver& observer, const std::string& reason)
{
    show_status(observer, "The update list failed its signature check.");
    show_detail(observer, "%s", reason.c_str());
    return PassEnd::failed;
}

// The game files are in place, but the launcher is the old one: the pass failed, and RETRY tries
// the launcher again.
static PassEnd fail_launcher_update(const PassObserver& observer, const std::string& reason)
{
    show_progress(observer, progress_full);
    show_status(observer, "The launcher could not be updated (%s).", reason.c_str());
    show_detail(observer, "You can still START with the files you have, or try again.");
    return PassEnd::failed;
}

// Takes the launcher's own entry out of the download list: it is never fetched as a game file.
static ListedFile take_launcher_entry(LocalCheck& check)
{
    const UpdateEntry& entry = check.download_list[size_t(check.self_index)];
    ListedFile launcher = listed_file(entry);
    check.download_total -= entry.size;
    check.download_list.erase(check.download_list.begin() + check.self_index);
    check.self_index = -1;
    return launcher;
}

// The record is named, so that a player or support knows which file stopped the pass.
static PassEnd fail_release_check(const PassObserver& observer, ReleaseVerdict verdict, const std::string& reason)
{
    if (verdict == ReleaseVerdict::refused)
        return fail_signature_check(observer, reason);
    const char* record = release_record_name(verdict);
    if (verdict == ReleaseVerdict::record_broken || verdict == ReleaseVerdict::keys_broken)
        show_status(observer, "%s is damaged - can't check for updates.", record);
    else
        show_status(observer, "%s can't be written - the update was not applied.", record);
    show_detail(observer, "%s: %s", record, reason.c_str());
    return PassEnd::failed;
}

static PassEnd succeed_pass(const PassObserver& observer, const char* end_text, size_t file_count)
{
    show_progress(observer, progress_full);
    show_status(observer, "%s", end_text);
    show_detail(observer, "%d files checked.", int(file_count));
    return PassEnd::succeeded;
}

// A pass that ends well leaves nothing of a download or a replacement behind: the part files of
// listed files, the new launcher's part, and an old launcher that was still running when the
// pass began.
static void clear_leftovers(const PassSettings& settings, const UpdateList& list)
{
    remove_part_files(settings.folder, list.files);
    remove_launcher_leftovers(settings.folder, true);
}

// Everything of the pass lives in here and is released when it returns, on every path. A switch
// an earlier launcher left under way is finished first, before any connection, so that the folder
// holds one release whole whether the server answers or not.
static PassEnd run_pass(const PassSettings& settings, const PassObserver& observer)
{
    remove_launcher_leftovers(settings.folder, false);
    if (!finish_interrupted_install(settings.folder, observer))
        return PassEnd::failed;
    show_status(observer, "Connecting to the update server...");
    show_detail(observer, "");
    show_progress(observer, 0);
    HINTERNET session = prepare_internet_session();
    if (session == NULL) {
        show_status(observer, "No internet connection.");
        return PassEnd::failed;
    }
    std::string list_text;
    std::string error_text;
    if (!fetch_text(session, list_url(settings.base_url, GetTickCount()).c_str(), list_text, error_text)) {
        show_status(observer, "Can't reach the update server (%s).", error_text.c_str());
        show_detail(observer, "You can still START with the files you have, or try again.");
        return PassEnd::failed;
    }
    bool is_signed = !settings.public_key.empty();
    ListSigning signing;
    if (is_signed) {
        ReleaseVerdict verdict = check_list_signature(settings.folder, settings.public_key, settings.backup_key,
                                                      list_text, signing, error_text);
        if (verdict != ReleaseVerdict::accepted)
            return fail_release_check(observer, verdict, error_text);
    }
    UpdateList list;
    if (!parse_update_list(list_text.c_str(), list)) {
        show_status(observer, "The update list is broken - try again later.");
        return PassEnd::failed;
    }
    if (is_signed) {
        ReleaseVerdict verdict = accept_signed_release(settings.folder, settings.min_sequence, list_text,
                                                       settings.public_key, signing, list, error_text);
        if (verdict != ReleaseVerdict::accepted)
            return fail_release_check(observer, verdict, error_text);
    }
    show_news(observer, list);
    HashCache cache;
    load_hash_cache(settings.folder, cache);
    LocalCheck check;
    if (!list.files.empty())
        check_files(settings, observer, list, cache, check);
    save_hash_cache(settings.folder, cache);
    DownloadSource source = {session, settings.base_url, settings.folder};
    // A launcher that could not be updated fails the pass, but only once the game files are in
    // place: the game may still be played, and RETRY tries the launcher again.
    std::string launcher_failure;
    if (check.self_index >= 0) {
        ListedFile launcher = take_launcher_entry(check);
        if (!settings.may_replace_launcher)
            launcher_failure = launcher_not_replaced_reason;
        else if (replace_launcher(source, settings.launcher_file, observer, launcher, launcher_failure))
            return PassEnd::restarted;
    }
    bool fetched = !check.download_list.empty();
    if (fetched && !has_room_for_parts(settings.folder, observer, check))
        return PassEnd::failed;
    if (fetched && !download_files(source, observer, check, block_maps_of(list), settings.connections)) {
        has_room_for_parts(settings.folder, observer, check);
        return PassEnd::failed;
    }
    if (!install_release(settings.folder, settings.launcher_file, observer, list, check, cache))
        return PassEnd::failed;
    if (!launcher_failure.empty())
        return fail_launcher_update(observer, launcher_failure);
    clear_leftovers(settings, list);
    return succeed_pass(observer, fetched ? "Update complete." : "Your game is up to date.", list.files.size());
}

void run_update_pass(const PassSettings& settings, const PassObserver& observer)
{
    PassEnd end = run_pass(settings, observer);
    observer.finished(observer.context, end);
}

DWORD WINAPI update_worker(LPVOID job)
{
    PassJob* pass = static_cast<PassJob*>(job);
    run_update_pass(pass->settings, pass->observer);
    delete pass;
    return 0;
}
