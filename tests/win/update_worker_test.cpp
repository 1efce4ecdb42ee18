// Whole update passes run on the test thread against the test server, shown in the window's
// controls: what reaches the window, what lands on disk and in the cache, which requests are made,
// and how each pass ends.
#include <gtest/gtest.h>

#include <algorithm>

#include "digest/sha256.h"
#include "engine/internet_session.h"
#include "engine/self_update.h"
#include "engine/update_pass.h"
#include "platform/thread_wait.h"
#include "shell/launcher_state.h"
#include "shell/window_observer.h"
#include "tests/win/test_support.h"
#include "tools/publishing/rollback_list.h"
#include "tools/signing/signing_key.h"
#include "transfer/size_text.h"
#include "update_list/base64.h"

namespace {

std::string pass_folder;

// A fresh game folder for the passes of one test; START's program is "main.exe" again.
std::string fresh_pass_folder()
{
    pass_folder = fresh_game_folder();
    snprintf(game_exe, sizeof(game_exe), "%s", "main.exe");
    return pass_folder;
}

// Runs one pass in that folder with `connections` downloads at once and returns the wParam of the
// one WM_UPDATE_FINISHED it must post.
WPARAM run_pass(int connections = 1)
{
    window_log = WindowLog();
    run_update_pass(PassSettings{pass_folder, "launcher.exe", server_url(), connections},
                    window_observer());
    collect_finished_messages();
    EXPECT_EQ(1u, window_log.finished.size());
    return window_log.finished.empty() ? WPARAM(99) : window_log.finished[0];
}

bool saw_status(const std::string& text)
{
    return std::find(window_log.status.begin(), window_log.status.end(), text) !=
           window_log.status.end();
}

}  // namespace

TEST(UpdateWorker, FreshInstallFetchesEveryFileThenTheNextPassFindsItUpToDate)
{
    std::string dir = fresh_pass_folder();
    std::string a = pattern_bytes(70000);
    std::string b = "second file";
    serve_file("data/a.bin", a);
    serve_file("b.txt", b);
    serve_file("manifest.txt", make_list({list_line("data/a.bin", a), list_line("b.txt", b)}));
    write_file(dir + "Launcher.old.exe", "left from a swap");

    EXPECT_EQ(1u, run_pass());
    EXPECT_FALSE(file_exists(dir + "Launcher.old.exe"));
    std::string got;
    ASSERT_TRUE(read_file(dir + "data\\a.bin", got));
    EXPECT_EQ(a, got);
    ASSERT_TRUE(read_file(dir + "b.txt", got));
    EXPECT_EQ(b, got);
    std::string total = format_size(a.size() + b.size());
    EXPECT_EQ((std::vector<std::string>{"Connecting to the update server...",
                                        "Checking files... 0 / 2", "Downloading 1 / 2  (" + total + ")",
                                        "Downloading 2 / 2  (" + total + ")", "Installing the update... 0 / 2",
                                        "Installing the update... 2 / 2", "Update complete."}),
              window_log.status);
    EXPECT_FALSE(file_exists(dir + "launcher.switch"));
    ASSERT_TRUE(read_file(dir + "launcher.installed", got));
    EXPECT_EQ("Run=\nFormat=2\nF|data/a.bin\nF|b.txt\n", got);
    EXPECT_EQ("", window_log.detail.front());
    EXPECT_EQ("2 files checked.", window_log.detail.back());
    EXPECT_EQ(0u, window_log.progress.front());
    EXPECT_EQ(1000u, window_log.progress.back());

    std::vector<std::string> lists = requests_for("/manifest.txt");
    ASSERT_EQ(1u, lists.size());
    EXPECT_NE(std::string::npos, lists[0].find("\"query\": \"t="));
    EXPECT_NE(std::string::npos, lists[0].find("\"user_agent\": \"Tavrinor-Launcher/1.0\""));
    EXPECT_NE(std::string::npos, lists[0].find("\"pragma\": \"no-cache\""));
    std::vector<std::string> files = requests_for("/data/a.bin");
    ASSERT_EQ(1u, files.size());
    EXPECT_NE(std::string::npos, files[0].find("\"query\": \"v=" + md5_text(a) + "\""));

    clear_request_log();
    EXPECT_EQ(1u, run_pass());
    EXPECT_EQ("Your game is up to date.", window_log.status.back());
    EXPECT_EQ("2 files checked.", window_log.detail.back());
    EXPECT_EQ(1u, request_log().size());  // the list only: the cache vouched for both files
}

TEST(UpdateWorker, NewsRunAndDeletesApplyEvenWhenTheListHasNoFiles)
{
    std::string dir = fresh_pass_folder();
    write_file(dir + "old.dll", "obsolete");
    SetFileAttributesA((dir + "old.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    write_file(dir + "launcher.cache", "kept.bin|1|2|abc\n");
    serve_file("manifest.txt",
               "Version=7\nNews=Server down at 5\nNews=Back at 6\nRun=bin/game.exe\n"
               "Delete=old.dll\nDelete=never-there.dll\n");

    EXPECT_EQ(1u, run_pass());
    EXPECT_EQ((std::vector<std::string>{"Server down at 5\r\nBack at 6"}), window_log.info);
    EXPECT_STREQ("bin/game.exe", game_exe);
    EXPECT_FALSE(file_exists(dir + "old.dll"));
    EXPECT_EQ("Your game is up to date.", window_log.status.back());
    EXPECT_EQ("0 files checked.", window_log.detail.back());
    EXPECT_EQ(1000u, window_log.progress.back());
    std::string cache;
    ASSERT_TRUE(read_file(dir + "launcher.cache", cache));
    EXPECT_EQ("kept.bin|1|2|abc\n", cache);

    serve_file("manifest.txt", "Version=8\n");
    EXPECT_EQ(1u, run_pass());
    EXPECT_TRUE(window_log.info.empty());
}

TEST(UpdateWorker, ListThatCantBeFetchedOrParsedEndsThePassAsFailed)
{
    std::string dir = fresh_pass_folder();
    set_rules(R"({"/manifest.txt": {"status": 404}})");
    EXPECT_EQ(0u, run_pass());
    EXPECT_EQ("Can't reach the update server (HTTP 404).", window_log.status.back());
    EXPECT_EQ("You can still START with the files you have, or try again.", window_log.detail.back());

    set_rules(R"({"/manifest.txt": {"generate": 100000, "drop_after": 40}})");
    EXPECT_EQ(0u, run_pass());
    EXPECT_EQ("Can't reach the update server (connection lost).", window_log.status.back());

    set_rules(R"({"/manifest.txt": {"body": "Run=game.exe\nF|tooshort|1|a.bin\n"}})");
    EXPECT_EQ(0u, run_pass());
    EXPECT_EQ("The update list is broken - try again later.", window_log.status.back());
    EXPECT_EQ((std::vector<std::string>{""}), window_log.detail);
    EXPECT_STREQ("main.exe", game_exe);
    EXPECT_FALSE(file_exists(dir + "launcher.cache"));

    set_rules(R"({"/manifest.txt": {"body": ""}})");
    EXPECT_EQ(0u, run_pass());
    EXPECT_EQ("The update list is broken - try again later.", window_log.status.back());
}

// A failed pass changes no listed file and deletes nothing; the files that arrived wait verified
// in their parts, and the next pass fetches none of their bytes again.
TEST(UpdateWorker, FileThatKeepsFailingGetsThreeAttemptsAndTheEarlierFilesWaitInTheirParts)
{
    std::string dir = fresh_pass_folder();
    write_file(dir + "good.bin", "old good");
    write_file(dir + "old.dll", "old release");
    std::string good = "good file";
    std::string bad = pattern_bytes(100000);
    serve_file("good.bin", good);
    serve_file("bad%.bin", bad);
    serve_file("after.bin", "never fetched");
    serve_file("manifest.txt", "Run=new.exe\nDelete=old.dll\n" +
                                   make_list({list_line("good.bin", good), list_line("bad%.bin", bad),
                                              list_line("after.bin", "never fetched")}));
    set_rules(R"({"/bad%25.bin": {"drop_after": 5000}})");

    DWORD start = GetTickCount();
    EXPECT_EQ(0u, run_pass());
    EXPECT_GE(GetTickCount() - start, 3000u);  // a pause after each of the three attempts
    EXPECT_EQ("Download failed: connection lost", window_log.status.back());
    EXPECT_EQ("bad%.bin", window_log.detail.back());
    EXPECT_EQ(3u, requests_for("/bad%25.bin").size());
    EXPECT_EQ(0u, requests_for("/after.bin").size());
    EXPECT_FALSE(file_exists(dir + "after.bin"));
    std::string got;
    ASSERT_TRUE(read_file(dir + "good.bin", got));
    EXPECT_EQ("old good", got);
    ASSERT_TRUE(read_file(dir + "good.bin.part", got));
    EXPECT_EQ(good, got);
    EXPECT_TRUE(file_exists(dir + "old.dll"));
    EXPECT_STREQ("main.exe", game_exe);
    EXPECT_FALSE(file_exists(dir + "launcher.switch"));

    set_rules("{}");
    clear_request_log();
    EXPECT_EQ(1u, run_pass());
    EXPECT_TRUE(requests_for("/good.bin").empty());
    EXPECT_EQ(1u, requests_for("/bad%25.bin").size());
    ASSERT_TRUE(read_file(dir + "good.bin", got));
    EXPECT_EQ(good, got);
    EXPECT_FALSE(file_exists(dir + "old.dll"));
    EXPECT_FALSE(file_exists(dir + "good.bin.part"));
    EXPECT_STREQ("new.exe", game_exe);
    std::string cache;
    ASSERT_TRUE(read_file(dir + "launcher.cache", cache));
    EXPECT_NE(std::string::npos, cache.find("good.bin|9|"));
}

// A held file keeps the whole release where it was; the next pass switches without fetching.
TEST(UpdateWorker, HeldFileMovesNothingAndTheNextPassSwitchesWithoutFetching)
{
    std::string dir = fresh_pass_folder();
    serve_file("main.exe", "new game");
    serve_file("other.bin", "new other");
    serve_file("manifest.txt", "Delete=old.dll\n" + make_list({list_line("main.exe", "new game"),
                                                               list_line("other.bin", "new other")}));
    write_file(dir + "main.exe", "old game");
    write_file(dir + "other.bin", "old other");
    write_file(dir + "old.dll", "old release");
    HANDLE held = CreateFileA((dir + "main.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, 0, NULL);
    WPARAM result = run_pass(2);
    CloseHandle(held);
    EXPECT_EQ(0u, result);
    EXPECT_EQ("The update could not be installed: the file is in use - close the game first",
              window_log.status.back());
    EXPECT_EQ("main.exe", window_log.detail.back());
    std::string got;
    ASSERT_TRUE(read_file(dir + "other.bin", got));
    EXPECT_EQ("old other", got);
    EXPECT_TRUE(file_exists(dir + "old.dll"));
    EXPECT_FALSE(file_exists(dir + "launcher.switch"));

    EXPECT_EQ(1u, run_pass(2));
    EXPECT_EQ(1u, requests_for("/main.exe").size());
    EXPECT_EQ(1u, requests_for("/other.bin").size());
    ASSERT_TRUE(read_file(dir + "main.exe", got));
    EXPECT_EQ("new game", got);
    ASSERT_TRUE(read_file(dir + "other.bin", got));
    EXPECT_EQ("new other", got);
    EXPECT_FALSE(file_exists(dir + "old.dll"));
}

// A launcher that can't be updated fails the pass once the game files are in place: a new one
// that does not start (these bytes are no program; the instance lock given up for its start comes
// back before anything else is shown), one that arrives damaged, and one this process must not
// hand over to, having been started again by a new launcher that could not take its name.
TEST(UpdateWorker, LauncherThatCantBeUpdatedFailsThePassOnceTheGameIsInPlace)
{
    struct Case {
        const char* what;
        const char* served;  // the new launcher's bytes on the server; the list says "newer launcher"
        bool may_replace;
        std::string reason;
        size_t launcher_requests;
    };
    const Case cases[] = {
        {"no program", "newer launcher", true, "can't start Launcher.new.exe (error ", 1},
        {"damaged", "newer launcher, changed", true, "file damaged on the way", 3},
        {"started again by a new launcher", "newer launcher", false, "the new launcher could not take its place", 0},
    };
    for (const Case& c : cases) {
        std::string dir = fresh_pass_folder();
        write_file(dir + "launcher.exe", "running launcher");
        std::string other = "other file";
        serve_file("Launcher.exe", c.served);
        serve_file("other.bin", other);
        serve_file("manifest.txt",
                   make_list({list_line("Launcher.exe", "newer launcher"), list_line("other.bin", other)}));

        window_log = WindowLog();
        PassSettings settings{pass_folder, "launcher.exe", server_url(), 1};
        settings.may_replace_launcher = c.may_replace;
        run_update_pass(settings, window_observer());
        collect_finished_messages();
        ASSERT_EQ((std::vector<WPARAM>{0}), window_log.finished) << c.what;
        EXPECT_EQ(c.may_replace, saw_status("Updating the launcher...")) << c.what;
        EXPECT_TRUE(saw_status("Downloading 1 / 1  (" + format_size(other.size()) + ")")) << c.what;
        EXPECT_EQ(0u, window_log.status.back().find("The launcher could not be updated (" + c.reason)) << c.what;
        EXPECT_EQ("You can still START with the files you have, or try again.", window_log.detail.back());
        EXPECT_EQ(c.launcher_requests, requests_for("/Launcher.exe").size()) << c.what;
        std::string got;
        ASSERT_TRUE(read_file(dir + "launcher.exe", got));
        EXPECT_EQ("running launcher", got) << c.what;
        EXPECT_FALSE(file_exists(dir + "Launcher.new.exe")) << c.what;
        EXPECT_FALSE(file_exists(dir + "Launcher.new.exe.part")) << c.what;
        EXPECT_TRUE(file_exists(dir + "other.bin")) << c.what;
        if (c.launcher_requests == 1) {
            // Given up for the start, taken back at once, before the pass shows anything more.
            size_t shown = std::find(window_log.status.begin(), window_log.status.end(), "Updating the launcher...") -
                           window_log.status.begin() + 1;
            EXPECT_EQ((std::vector<std::pair<WPARAM, size_t>>{{0, shown}, {1, shown}}), window_log.lock);
        } else {
            EXPECT_TRUE(window_log.lock.empty()) << c.what;
        }
    }
}

TEST(UpdateWorker, EveryPassSetsTheTimeOutsOnTheSessionItKeeps)
{
    fresh_pass_folder();
    serve_file("manifest.txt", "Version=1\n");
    HINTERNET session = prepare_internet_session();
    ASSERT_NE(HINTERNET(NULL), session);
    DWORD short_wait = 1;
    InternetSetOptionA(session, INTERNET_OPTION_CONNECT_TIMEOUT, &short_wait, sizeof(short_wait));
    EXPECT_EQ(1u, run_pass());
    DWORD timeout = 0;
    DWORD size = sizeof(timeout);
    ASSERT_TRUE(InternetQueryOptionA(session, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, &size));
    EXPECT_EQ(15000u, timeout);
    EXPECT_EQ(session, prepare_internet_session());
}

// Several connections: a file that fails for good while others are in flight stops new starts;
// the files in flight finish into their parts, and the pass ends with that file's failure.
TEST(UpdateWorker, FailureAmidSeveralConnectionsLetsTheFilesInFlightFinishAndStartsNoMore)
{
    std::string dir = fresh_pass_folder();
    std::vector<std::string> lines;
    for (int i = 0; i < 8; ++i) {
        std::string name = "f" + std::to_string(i) + ".bin";
        serve_file(name, "content " + name);
        lines.push_back(list_line(name, "content " + name));
    }
    serve_file("manifest.txt", make_list(lines));
    // f0, listed first, fails for good after f2 does: the failure shown is the first in time.
    set_rules(R"({"/f0.bin": {"delay_ms": 1000, "status": 500}, "/f1.bin": {"delay_ms": 3600},
                  "/f2.bin": {"status": 404}, "/f3.bin": {"delay_ms": 3600}})");
    EXPECT_EQ(0u, run_pass(4));
    EXPECT_EQ("Download failed: HTTP 404", window_log.status.back());
    EXPECT_EQ("f2.bin", window_log.detail.back());
    EXPECT_EQ(3u, requests_for("/f2.bin").size());
    EXPECT_EQ(3u, requests_for("/f0.bin").size());
    EXPECT_FALSE(file_exists(dir + "f0.bin"));
    std::string cache;
    ASSERT_TRUE(read_file(dir + "launcher.cache", cache));
    for (const char* done : {"f1.bin", "f3.bin"}) {
        EXPECT_TRUE(file_exists(dir + done + ".part")) << done;
        EXPECT_FALSE(file_exists(dir + done)) << done;
        EXPECT_EQ(std::string::npos, cache.find(std::string(done) + "|")) << done;
    }
    for (const char* never : {"/f4.bin", "/f5.bin", "/f6.bin", "/f7.bin"})
        EXPECT_TRUE(requests_for(never).empty()) << never;
    EXPECT_TRUE(saw_status("Downloading 4 / 8  (" + format_size(8 * 14) + ")"));
}

// Too little room for the parts is said before any request for a file, and nothing is fetched.
TEST(UpdateWorker, TooLittleDiskSpaceIsSaidBeforeAnyFileIsAsked)
{
    std::string dir = fresh_pass_folder();
    uint64_t huge = uint64_t(1) << 52;
    serve_file("small.bin", "small");
    serve_file("manifest.txt", make_list({list_line("small.bin", "small"),
                                          "F|" + md5_text("x") + "|" + std::to_string(huge) + "|huge.pak"}));
    EXPECT_EQ(0u, run_pass(2));
    EXPECT_EQ(0u, window_log.status.back().find("Not enough disk space: the update needs "));
    EXPECT_NE(std::string::npos, window_log.status.back().find(" more."));
    EXPECT_TRUE(requests_for("/small.bin").empty());
    EXPECT_TRUE(requests_for("/huge.pak").empty());
    EXPECT_FALSE(file_exists(dir + "small.bin.part"));
}

// A switch cut by a kill is finished by the next start before it connects, also when no server
// answers: the parts left take their names, the deletions follow, the record goes, and START runs
// the release's program.
TEST(UpdateWorker, CutSwitchIsFinishedByAnOfflineStart)
{
    std::string dir = fresh_pass_folder();
    write_file(dir + "moved.bin", "new moved");
    write_file(dir + "waiting.bin", "old waiting");
    write_file(dir + "waiting.bin.part", "new waiting");
    write_file(dir + "gone.dll", "old release");
    write_file(dir + "launcher.switch", "Run=bin/game.exe\nF|moved.bin\nF|waiting.bin\nM|moved.bin\n"
                                        "M|waiting.bin\nD|gone.dll\nM|../outside.bin\n");
    window_log = WindowLog();
    run_update_pass(PassSettings{pass_folder, "launcher.exe", "http://127.0.0.1:1/", 1}, window_observer());
    collect_finished_messages();
    EXPECT_EQ((std::vector<WPARAM>{0}), window_log.finished);
    EXPECT_TRUE(saw_status("Installing the update... 2 / 2"));
    EXPECT_EQ(0u, window_log.status.back().find("Can't reach the update server"));
    std::string got;
    ASSERT_TRUE(read_file(dir + "waiting.bin", got));
    EXPECT_EQ("new waiting", got);
    ASSERT_TRUE(read_file(dir + "moved.bin", got));
    EXPECT_EQ("new moved", got);
    EXPECT_FALSE(file_exists(dir + "waiting.bin.part"));
    EXPECT_FALSE(file_exists(dir + "gone.dll"));
    EXPECT_FALSE(file_exists(dir + "launcher.switch"));
    EXPECT_STREQ("bin/game.exe", game_exe);
    ASSERT_TRUE(read_file(dir + "launcher.installed", got));
    EXPECT_EQ("Run=bin/game.exe\nF|moved.bin\nF|waiting.bin\n", got);

    // The installed release's program holds for every later start, connected or not.
    snprintf(game_exe, sizeof(game_exe), "%s", "main.exe");
    window_log = WindowLog();
    run_update_pass(PassSettings{pass_folder, "launcher.exe", "http://127.0.0.1:1/", 1}, window_observer());
    collect_finished_messages();
    EXPECT_STREQ("bin/game.exe", game_exe);
    EXPECT_FALSE(saw_status("Installing the update... 0 / 0"));

    // A move that fails again (the game holds the file) keeps the record and the parts left, and
    // nothing else happens until a later start finishes the switch.
    write_file(dir + "held.bin", "old held");
    write_file(dir + "held.bin.part", "new held");
    write_file(dir + "launcher.switch", "Run=bin/game.exe\nF|held.bin\nM|held.bin\n");
    HANDLE held = CreateFileA((dir + "held.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    clear_request_log();
    WPARAM result = run_pass();
    CloseHandle(held);
    EXPECT_EQ(0u, result);
    EXPECT_EQ("The update could not be installed: the file is in use - close the game first", window_log.status.back());
    EXPECT_TRUE(request_log().empty());
    EXPECT_TRUE(file_exists(dir + "launcher.switch"));
    EXPECT_TRUE(file_exists(dir + "held.bin.part"));
    window_log = WindowLog();
    run_update_pass(PassSettings{pass_folder, "launcher.exe", "http://127.0.0.1:1/", 1}, window_observer());
    collect_finished_messages();
    ASSERT_TRUE(read_file(dir + "held.bin", got));
    EXPECT_EQ("new held", got);
    EXPECT_FALSE(file_exists(dir + "launcher.switch"));
}

// A release that drops a file takes it away at its switch, whichever releases the player skipped;
// what the player keeps (K|), what no release listed and whatever a damaged record names stay.
TEST(UpdateWorker, FilesTheInstalledReleaseListedAndTheNextDropsGoWithItsSwitch)
{
    std::string dir = fresh_pass_folder();
    std::string settings_line = list_line("settings.cfg", "defaults");
    settings_line[0] = 'K';
    serve_file("main.exe", "game 1.0");
    serve_file("data/old.pak", "pak of 1.0");
    serve_file("data/Case.pak", "case");
    serve_file("settings.cfg", "defaults");
    serve_file("manifest.txt", make_list({list_line("main.exe", "game 1.0"), list_line("data/old.pak", "pak of 1.0"),
                                          list_line("data/Case.pak", "case"), settings_line}));
    EXPECT_EQ(1u, run_pass());
    std::string got;
    ASSERT_TRUE(read_file(dir + "launcher.installed", got));
    EXPECT_EQ("Run=\nFormat=2\nF|main.exe\nF|data/old.pak\nF|data/Case.pak\nK|settings.cfg\n", got);
    CreateDirectoryA((dir + "saves").c_str(), NULL);
    write_file(dir + "saves\\slot1.sav", "a player's save");
    write_file(dir + "data\\mod.pak", "a player's mod");
    write_file(dir + "settings.cfg", "the player's settings");

    // 1.1 deleted data/old.pak; this player goes from 1.0 straight to 1.2, which names another
    // file in other letters and "\\", and no longer ships the settings.
    serve_file("main.exe", "game 1.2");
    std::string release_list = make_list({list_line("main.exe", "game 1.2"), list_line("DATA\\case.PAK", "case")});
    serve_file("manifest.txt", release_list);
    EXPECT_EQ(1u, run_pass());
    EXPECT_EQ("Update complete.", window_log.status.back());
    EXPECT_FALSE(file_exists(dir + "data\\old.pak"));
    ASSERT_TRUE(read_file(dir + "data\\Case.pak", got));
    EXPECT_EQ("case", got);
    ASSERT_TRUE(read_file(dir + "settings.cfg", got));
    EXPECT_EQ("the player's settings", got);
    EXPECT_TRUE(file_exists(dir + "saves\\slot1.sav"));
    EXPECT_TRUE(file_exists(dir + "data\\mod.pak"));
    ASSERT_TRUE(read_file(dir + "launcher.installed", got));
    EXPECT_EQ("Run=\nFormat=2\nF|main.exe\nF|DATA\\case.PAK\n", got);

    // A list of news alone is no release without files: it drops nothing.
    serve_file("manifest.txt", "Version=1.2\nNews=Servers down tonight\n");
    EXPECT_EQ(1u, run_pass());
    EXPECT_TRUE(file_exists(dir + "main.exe"));
    EXPECT_TRUE(file_exists(dir + "data\\Case.pak"));
    ASSERT_TRUE(read_file(dir + "launcher.installed", got));
    EXPECT_EQ("Run=\nFormat=2\nF|main.exe\nF|DATA\\case.PAK\n", got);
    serve_file("manifest.txt", release_list);

    // A damaged record reaches neither outside the folder nor the launcher's own files, nor the
    // running launcher, nor a folder; one from an earlier launcher, which wrote kept files as F|,
    // drops nothing.
    std::string outside = dir.substr(0, dir.size() - 1) + "-outside.txt";
    write_file(outside, "outside");
    std::string outside_name = outside.substr(outside.find_last_of('\\') + 1);
    write_file(dir + "launcher.exe", "the running launcher");
    write_file(dir + "launcher.ini", "[Launcher]\n");
    const std::string records[] = {"Run=\nFormat=2\nF|../" + outside_name + "\nF|" + dir + "data\\mod.pak\n"
                                   "F|launcher.ini\nF|Launcher.EXE\nF|saves\nF|saves/\n",
                                   "Run=\nF|saves/slot1.sav\nF|data/mod.pak\n"};
    for (const std::string& record : records) {
        write_file(dir + "launcher.installed", record);
        EXPECT_EQ(1u, run_pass()) << record;
        EXPECT_TRUE(file_exists(outside));
        EXPECT_TRUE(file_exists(dir + "launcher.ini"));
        EXPECT_TRUE(file_exists(dir + "launcher.exe"));
        EXPECT_TRUE(file_exists(dir + "saves\\slot1.sav"));
        EXPECT_TRUE(file_exists(dir + "data\\mod.pak"));
    }
    DeleteFileA(outside.c_str());
}

// A file rebuilt from blocks: the detail line says so while its old copy is compared, and an
// attempt that broke off is followed by one that neither fetches the map nor searches again.
TEST(UpdateWorker, ARebuildComparesOncePerPassAndSaysSoWhileItDoes)
{
    std::string dir = fresh_pass_folder();
    std::string old_file = random_bytes(3 * 1024 * 1024, 21);
    std::string file = old_file;
    std::copy_n(random_bytes(300000, 22).begin(), 300000, file.begin() + 1000000);
    write_file(dir + "big.pak", old_file);
    std::string map = block_map_of(file);
    std::string map_digest;
    std::string error_text;
    ASSERT_TRUE(sha256_text_of(map.data(), map.size(), map_digest, error_text)) << error_text;
    serve_file("big.pak", file);
    serve_file("launcher.maps/big.map", map);
    serve_file("manifest.txt", make_list({list_line("big.pak", file), "M|" + map_digest + "|" +
                                          std::to_string(map.size()) + "|launcher.maps/big.map|big.pak"}));
    set_rules(R"({"/big.pak": {"drop_after": 170000, "times": 1}})");

    EXPECT_EQ(1u, run_pass());
    std::string got;
    ASSERT_TRUE(read_file(dir + "big.pak", got));
    EXPECT_TRUE(got == file);
    EXPECT_EQ(1u, requests_for("/launcher.maps/big.map").size());
    std::vector<std::string> ranges = requests_for("/big.pak");
    ASSERT_EQ(2u, ranges.size());
    EXPECT_NE(std::string::npos, ranges[1].find("\"range\": \"bytes=")) << ranges[1];
    const std::vector<std::string>& detail = window_log.detail;
    std::vector<std::string>::const_iterator comparing =
        std::find_if(detail.begin(), detail.end(), [](const std::string& text) {
            return text.rfind("Comparing big.pak with your copy... ", 0) == 0 && text.back() == '%';
        });
    ASSERT_NE(detail.end(), comparing);
    EXPECT_EQ(1, std::count_if(detail.begin(), detail.end(),
                               [](const std::string& text) { return text.rfind("Comparing", 0) == 0; }))
        << "the second attempt compared again";
    EXPECT_NE(detail.end(), std::find_if(comparing, detail.end(), [](const std::string& text) {
                  return text.rfind("big.pak  -  fetched ", 0) == 0;
              }));
}

namespace {

DWORD WINAPI end_after_a_while(LPVOID ended)
{
    Sleep(300);
    InterlockedExchange(static_cast<volatile LONG*>(ended), 1);
    return 0;
}

}  // namespace

// A wait the system refuses (here: a handle that is no longer open among those of running
// threads) must not end the wait: the caller frees what the threads still use once it returns.
TEST(ThreadWait, ARefusedWaitStillWaitsForEveryThread)
{
    volatile LONG ended = 0;
    HANDLE running = CreateThread(NULL, 0, end_after_a_while, const_cast<LONG*>(&ended), 0, NULL);
    ASSERT_NE(running, (HANDLE)NULL);
    HANDLE closed = CreateEventA(NULL, TRUE, TRUE, NULL);
    CloseHandle(closed);
    int ticks = 0;
    wait_for_threads({running, closed}, 50, [](void* count) { ++*static_cast<int*>(count); }, &ticks);
    EXPECT_EQ(1, ended);
    EXPECT_GT(ticks, 0);
    CloseHandle(running);
}

namespace {

// A studio's key and its lists: every entry with its "H|" line unless left out, the release
// number, and the signature line last over everything before it.
struct Studio {
    SigningKey key;

    Studio()
    {
        std::string error_text;
        EXPECT_TRUE(generate_signing_key(key, error_text)) << error_text;
    }

    std::string sign(const std::string& text) const
    {
        std::string signature;
        std::string error_text;
        EXPECT_TRUE(sign_list_text(key, text, signature, error_text)) << error_text;
        return text + "Signature=" + encode_base64(signature) + "\n";
    }

    std::string list(const std::vector<std::pair<std::string, std::string>>& files,
                     uint64_t release, const std::string& extra = "") const
    {
        std::string text = "Version=1\nNews=Signed news\n" + extra;
        for (const auto& file : files)
            text += list_line(file.first, file.second) + "\n";
        for (const auto& file : files)
            text += "H|" + sha256_text(file.second) + "|" + file.first + "\n";
        return sign(text + "Sequence=" + std::to_string(release) + "\n");
    }

    static std::string sha256_text(const std::string& data)
    {
        unsigned char digest[sha256_digest_length];
        std::string error_text;
        EXPECT_TRUE(sha256_of(data.data(), data.size(), digest, error_text));
        static const char hex[] = "0123456789abcdef";
        std::string text;
        for (unsigned char byte : digest) {
            text += hex[byte >> 4];
            text += hex[byte & 15];
        }
        return text;
    }
};

WPARAM run_signed_pass(const Studio& studio)
{
    window_log = WindowLog();
    PassSettings settings{pass_folder, "launcher.exe", server_url(), 2, studio.key.public_xy};
    run_update_pass(settings, window_observer());
    collect_finished_messages();
    return window_log.finished.empty() ? WPARAM(99) : window_log.finished[0];
}

}  // namespace

// A signed release is installed; the same list changed anywhere, signed by another key, or older
// than the release already accepted here is refused before anything of it is applied.
TEST(SignedPass, OnlyTheStudiosNewestReleaseIsApplied)
{
    std::string dir = fresh_pass_folder();
    Studio studio;
    serve_file("a.bin", "first");
    serve_file("manifest.txt", studio.list({{"a.bin", "first"}}, 7));
    EXPECT_EQ(1u, run_signed_pass(studio));
    EXPECT_EQ("Update complete.", window_log.status.back());
    std::string got;
    ASSERT_TRUE(read_file(dir + "launcher.release", got));
    EXPECT_EQ("7\n", got);

    write_file(dir + "victim.dat", "kept");
    std::string list = studio.list({{"b.bin", "second"}}, 8, "Delete=victim.dat\nRun=evil.exe\n");
    std::string changed = list;
    changed[changed.find("Signed news")] = 's';
    Studio intruder;
    std::vector<std::pair<std::string, std::string>> refused = {
        {changed, "changed after signing, or signed with another key"},
        {intruder.list({{"b.bin", "second"}}, 8, "Delete=victim.dat\n"),
         "changed after signing, or signed with another key"},
        {list.substr(0, list.find("Signature=")), "no signature"},
        {studio.list({{"b.bin", "second"}}, 6, "Delete=victim.dat\n"),
         "release 6 is older than release 7, which this game folder has already accepted"},
        {studio.sign("Version=1\nDelete=victim.dat\n" + list_line("b.bin", "second") + "\n"),
         "no SHA-256 for b.bin"}};
    serve_file("b.bin", "second");
    for (const auto& attempt : refused) {
        serve_file("manifest.txt", attempt.first);
        clear_request_log();
        EXPECT_EQ(0u, run_signed_pass(studio)) << attempt.second;
        EXPECT_EQ("The update list failed its signature check.", window_log.status.back());
        EXPECT_EQ(attempt.second, window_log.detail.back());
        EXPECT_TRUE(window_log.info.empty());
        EXPECT_TRUE(file_exists(dir + "victim.dat"));
        EXPECT_FALSE(file_exists(dir + "b.bin"));
        EXPECT_EQ(1u, request_log().size());
        EXPECT_STREQ("main.exe", game_exe);
    }
    ASSERT_TRUE(read_file(dir + "launcher.release", got));
    EXPECT_EQ("7\n", got);
}

// A rollback as make_manifest makes it: the older list signed again above the release a game
// folder holds is taken, and brings the older files back; the older list as it was is not.
TEST(SignedPass, RollbackListIsTakenByAFolderHoldingTheNewerRelease)
{
    std::string dir = fresh_pass_folder();
    Studio studio;
    std::string older = studio.list({{"a.bin", "first"}}, 7, "Run=main.exe\n");
    serve_file("a.bin", "second");
    serve_file("manifest.txt", studio.list({{"a.bin", "second"}}, 8));
    EXPECT_EQ(1u, run_signed_pass(studio));
    serve_file("a.bin", "first");
    serve_file("manifest.txt", older);
    EXPECT_EQ(0u, run_signed_pass(studio));
    EXPECT_EQ("release 7 is older than release 8, which this game folder has already accepted",
              window_log.detail.back());

    std::string error_text;
    ASSERT_TRUE(check_old_signature(older, studio.key.public_xy, error_text)) << error_text;
    std::string rollback;
    ASSERT_TRUE(renumber_signed_list(older, 9, rollback, error_text)) << error_text;
    serve_file("manifest.txt", studio.sign(rollback));
    EXPECT_EQ(1u, run_signed_pass(studio));
    EXPECT_EQ("Update complete.", window_log.status.back());
    std::string got;
    ASSERT_TRUE(read_file(dir + "a.bin", got));
    EXPECT_EQ("first", got);
    ASSERT_TRUE(read_file(dir + "launcher.release", got));
    EXPECT_EQ("9\n", got);
}

// What an MD5 collision looks like to the launcher: the size and MD5 the list names arrive, but
// not the SHA-256.
TEST(SignedPass, FileMatchingItsMd5ButNotItsSha256IsDamaged)
{
    std::string dir = fresh_pass_folder();
    Studio studio;
    std::string list = studio.list({{"game.dat", "genuine"}}, 1);
    size_t hash = list.find("H|") + 2;
    list.replace(hash, 64, Studio::sha256_text("forged"));
    serve_file("game.dat", "genuine");
    serve_file("manifest.txt", studio.sign(list.substr(0, list.find("Signature="))));
    EXPECT_EQ(0u, run_signed_pass(studio));
    EXPECT_EQ("Download failed: file damaged on the way", window_log.status.back());
    EXPECT_FALSE(file_exists(dir + "game.dat"));
    EXPECT_FALSE(file_exists(dir + "game.dat.part"));
}

// A launcher's command line is taken only from a new launcher, and only a plain file name of its
// own folder in quotes: anything else starts as usual and moves nothing.
TEST(LauncherTakeOver, OnlyANewLauncherHandedAPlainNameTakesTheNameOver)
{
    std::string dir = fresh_pass_folder();
    write_file(dir + "Launcher.new.exe", "new build");
    write_file(dir + "game launcher.exe", "old build");
    EXPECT_EQ(LauncherStart::ordinary, start_launcher_process(dir, "launcher.exe", "\"game launcher.exe\""));
    EXPECT_EQ(LauncherStart::not_replaced, start_launcher_process(dir, "launcher.exe", " --not-replaced "));
    for (const char* arguments : {"", "game launcher.exe", "\"..\\\\game launcher.exe\"",
                                  "\"sub/game launcher.exe\"", "\"Launcher.new.exe\"", "\"unclosed", "--not-replaced x"})
        EXPECT_EQ(LauncherStart::ordinary, start_launcher_process(dir, "Launcher.new.exe", arguments)) << arguments;
    std::string got;
    ASSERT_TRUE(read_file(dir + "game launcher.exe", got));
    EXPECT_EQ("old build", got);

    // These bytes are no program, so the start that follows fails; the name is taken all the same.
    EXPECT_EQ(LauncherStart::take_over, start_launcher_process(dir, "LAUNCHER.NEW.EXE", "  \"game launcher.exe\""));
    ASSERT_TRUE(read_file(dir + "game launcher.exe", got));
    EXPECT_EQ("new build", got);
    EXPECT_FALSE(file_exists(dir + "Launcher.new.exe"));
}

namespace {

// A take-over whose moves are refused until `free_after` tries, as Windows refuses them while
// the old launcher still runs from its file (wine never does), on a clock only the pauses move.
struct ScriptedTakeOver {
    int free_after;
    int tries = 0;
    uint32_t clock = 5000;
    std::vector<uint32_t> pauses{};
    std::vector<bool> starts{};
};

bool scripted_take(void* context)
{
    ScriptedTakeOver& script = *static_cast<ScriptedTakeOver*>(context);
    return ++script.tries > script.free_after;
}

uint32_t scripted_now(void* context)
{
    return static_cast<ScriptedTakeOver*>(context)->clock;
}

void scripted_pause(void* context, uint32_t ms)
{
    ScriptedTakeOver& script = *static_cast<ScriptedTakeOver*>(context);
    script.pauses.push_back(ms);
    script.clock += ms;
}

void scripted_start(void* context, bool replaced)
{
    static_cast<ScriptedTakeOver*>(context)->starts.push_back(replaced);
}

ScriptedTakeOver take_over_freed_after(int tries)
{
    ScriptedTakeOver script{tries};
    run_take_over(TakeOverSteps{&script, scripted_take, scripted_now, scripted_pause, scripted_start});
    return script;
}

}  // namespace

// The new launcher waits for the old one to let go of its name, 100 ms between tries, for 30 s;
// then it starts whichever launcher the name holds, and tells an old one that it was not replaced.
TEST(LauncherTakeOver, WaitsThirtySecondsForTheNameThenStartsWhicheverHoldsIt)
{
    ScriptedTakeOver at_once = take_over_freed_after(0);
    EXPECT_TRUE(at_once.pauses.empty());
    EXPECT_EQ(std::vector<bool>{true}, at_once.starts);

    ScriptedTakeOver later = take_over_freed_after(25);
    EXPECT_EQ(std::vector<uint32_t>(25, 100), later.pauses);
    EXPECT_EQ(std::vector<bool>{true}, later.starts);

    ScriptedTakeOver never = take_over_freed_after(1 << 30);
    EXPECT_EQ(std::vector<uint32_t>(300, 100), never.pauses);
    EXPECT_EQ(301, never.tries);
    EXPECT_EQ(std::vector<bool>{false}, never.starts);
}
