"""The launcher replacing itself through the real window: a list entry that matches the running
executable, one that differs (the new launcher takes the name over and restarts, its own pass),
the entry in other letter case and in a sub-folder, a download that keeps failing, a new file
that is no program, a leftover old launcher that can't be removed, and a launcher under another
file name."""
import os
import stat
import subprocess
import time

import harness
import update_site
from harness import ID_EXIT
from update_site import SiteTestCase, md5_text

OLD_NAME = b"Launcher.old.exe"
NEW_NAME = b"Launcher.new.exe"
# A launcher that holds the single-instance mutex makes a second one wait this long and give up
# without a window.
SECOND_START_WAIT = 2.0


def pattern(size, seed):
    return bytes((i * 13 + seed) % 251 for i in range(size))


def size_text(size):
    return f"{size / 1024:.0f} KB"


# What wine shows of the file operations of a replacement, next to Windows: Windows refuses to move
# a file over a running program until it has ended, where wine moves it at once; and MoveFileExA
# moves a file over a read-only one under wine64 where Windows refuses. These tests therefore look
# at what is left on disk, not only at the restart.
class SelfUpdate(SiteTestCase):
    def setUp(self):
        super().setUp()
        with open(self.session.paths.launcher, "rb") as f:
            self.running = f.read()
        # The same program with bytes after its last section: it still starts, and its size and
        # digest differ from the running one's.
        self.newer = self.running + b"\0" * 4096 + b"Tavrin launcher, next build"

    def hold_first_attempt(self, path):
        """On loopback a swap can end the old launcher before anyone saw its window: the first
        download of the new launcher hangs a second and fails, and the next one (with no pause
        between them) fetches it."""
        self.server.rules({path: {"stall_after": 0, "stall_seconds": 1, "times": 1}})

    def own_bytes(self, name="launcher.exe"):
        return self.read(name)

    def wait_restart(self, process, old_pid, timeout=30.0):
        """Waits for the old launcher to end by itself and for the new one's window; while the
        old window lives it must never ask whether to close or end its pass. Returns the new
        launcher's pid."""
        deadline = time.monotonic() + timeout
        while process.poll() is None:
            state = self.state()
            if state is not None and state["pid"] == old_pid:
                self.assertIsNone(state["box"], "the old launcher asked before closing" + self.details())
                self.assertFalse(state["start"]["enabled"],
                                 "the old launcher ended its pass instead of restarting" + self.details())
            if time.monotonic() > deadline:
                self.fail("the old launcher did not end by itself" + self.details())
            time.sleep(harness.POLL_SECONDS)
        self.assertEqual(process.returncode, 0)
        state = self.wait_for(lambda s: s is not None and s["pid"] != old_pid, timeout,
                              "the new launcher's window")
        return state["pid"]

    def wait_own_pass_end(self, pid, timeout=30.0):
        return self.wait_for(lambda s: s is not None and s["pid"] == pid and s["start"]["enabled"], timeout,
                             "the new launcher's pass to end")

    def close_window(self):
        """Closes the one launcher window left, which may belong to no child of this test: EXIT,
        then the probe until the window is gone."""
        self.probe.act(f"click {ID_EXIT}")
        self.wait_for(lambda s: s is None, harness.EXIT_TIMEOUT, "the launcher window to go away")

    def statuses_of(self, pid):
        return [text for seen_pid, text in self.seen if seen_pid == pid]

    def assertNoReplacementFiles(self):
        contents = self.folder_contents()
        self.assertNotIn(NEW_NAME, contents, self.details())
        self.assertNotIn(OLD_NAME, contents, self.details())
        self.assertEqual([p for p in contents if p.endswith(b".part")], [], self.details())

    def test_matching_entry_is_not_replaced(self):
        files = {"launcher.exe": self.running, "a.txt": b"game data"}
        self.publish(files)
        process, state = self.launch()
        state = self.wait_pass_end()
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertEqual(state["detail"]["text"], "2 files checked.", self.details())
        self.assertEqual(self.server.paths(), ["/manifest.txt", "/a.txt"])
        self.assertNotIn("Updating the launcher...", self.statuses_of(state["pid"]))
        self.assertIsNone(process.poll(), self.details())
        self.assertFilesAre(files)
        self.assertNoReplacementFiles()

    def test_changed_launcher_takes_the_name_over_and_restarts(self):
        files = {"launcher.exe": self.newer, "data/a.bin": pattern(20000, 1), "readme.txt": b"read me"}
        self.publish(files)
        self.hold_first_attempt("/launcher.exe")
        process, state = self.launch()
        old_pid = state["pid"]
        new_pid = self.wait_restart(process, old_pid)
        state = self.wait_own_pass_end(new_pid)
        context = self.details()
        self.assertEqual(state["status"]["text"], "Update complete.", context)
        self.assertEqual(state["detail"]["text"], "3 files checked.", context)
        self.assertFocusOnStart()
        self.assertFilesAre(files)
        # The old launcher fetched its successor alone; the game's files came with the new one.
        # The new launcher fetches the game files on several connections, in any order.
        paths = self.server.paths()
        self.assertEqual(paths[:4], ["/manifest.txt"] + ["/launcher.exe"] * 2 + ["/manifest.txt"])
        self.assertEqual(sorted(paths[4:]), ["/data/a.bin", "/readme.txt"])
        self.assertIn("Updating the launcher...", self.statuses_of(old_pid))
        records, _ = update_site.read_cache(self.folder.file("launcher.cache"))
        self.assertEqual(records[b"launcher.exe"][2], md5_text(self.newer))
        self.close_window()

        # Nothing of the replacement is left: the new launcher moved itself over the old one.
        process, _ = self.launch()
        state = self.wait_pass_end()
        self.assertEqual(state["status"]["text"], "Your game is up to date.", self.details())
        self.assertEqual(state["detail"]["text"], "3 files checked.", self.details())
        self.assertEqual(self.folder_contents(),
                         {b"launcher.exe", b"launcher.ini", b"launcher.cache", b"launcher.installed", b"data/a.bin",
                          b"readme.txt"})
        self.probe.act(f"click {ID_EXIT}")
        self.assertEqual(self.wait_exit(process), 0)

    def test_read_only_launcher_is_replaced_all_the_same(self):
        os.chmod(self.folder.launcher, stat.S_IRUSR | stat.S_IXUSR | stat.S_IRGRP | stat.S_IROTH)
        self.publish({"launcher.exe": self.newer})
        self.hold_first_attempt("/launcher.exe")
        process, state = self.launch()
        new_pid = self.wait_restart(process, state["pid"])
        state = self.wait_own_pass_end(new_pid)
        self.assertEqual(state["status"]["text"], "Your game is up to date.", self.details())
        self.close_window()
        process, _ = self.launch()
        self.wait_pass_end()
        self.assertEqual(self.own_bytes(), self.newer)
        self.assertEqual(self.folder_contents(),
                         {b"launcher.exe", b"launcher.ini", b"launcher.cache", b"launcher.installed"})
        self.probe.act(f"click {ID_EXIT}")
        self.assertEqual(self.wait_exit(process), 0)

    def test_entry_in_other_letter_case_names_the_launcher(self):
        self.publish({"LAUNCHER.EXE": self.newer})
        self.hold_first_attempt("/LAUNCHER.EXE")
        process, state = self.launch()
        new_pid = self.wait_restart(process, state["pid"])
        state = self.wait_own_pass_end(new_pid)
        self.assertEqual(state["status"]["text"], "Your game is up to date.", self.details())
        self.assertEqual(self.server.paths(), ["/manifest.txt"] + ["/LAUNCHER.EXE"] * 2 + ["/manifest.txt"])
        self.assertEqual(self.own_bytes(), self.newer)
        self.assertIn(b"launcher.exe", self.folder_contents())
        self.close_window()

    def test_entry_in_a_sub_folder_is_an_ordinary_file(self):
        files = {"tools/launcher.exe": self.newer}
        self.publish(files)
        process, state = self.launch()
        state = self.wait_pass_end()
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertNotIn("Updating the launcher...", self.statuses_of(state["pid"]))
        self.assertIsNone(process.poll(), self.details())
        self.assertFilesAre(files)
        self.assertEqual(self.own_bytes(), self.running)
        self.assertNoReplacementFiles()

    def assertLauncherNotUpdated(self, state, reason):
        """A pass whose game files are in place but whose launcher could not be updated: failed."""
        context = self.details()
        self.assertEqual(state["status"]["text"], f"The launcher could not be updated ({reason}).", context)
        self.assertEqual(state["detail"]["text"], "You can still START with the files you have, or try again.",
                         context)
        self.assertEqual(state["progress"]["pos"], 1000, context)
        self.assertMode(state, "START anyway", True, True)
        self.assertEqual(self.own_bytes(), self.running)
        self.assertNoReplacementFiles()

    def test_launcher_download_failing_three_times_fails_the_pass_after_the_game_files(self):
        game_file = pattern(30000, 2)
        self.publish({"launcher.exe": self.newer, "data/a.bin": game_file})
        # Each launcher attempt hangs a second and then loses its connection, so that the status
        # texts between the attempts can be watched; the game file fails once more the same way.
        self.server.rules({"/launcher.exe": {"stall_after": 0, "stall_seconds": 1, "times": 3},
                           "/data/a.bin": {"stall_after": 100, "stall_seconds": 1, "times": 1}})
        process, state = self.launch()
        pid = state["pid"]
        state = self.wait_pass_end(timeout=40)
        context = self.details()
        self.assertLauncherNotUpdated(state, "connection lost")
        statuses = self.statuses_of(pid)
        self.assertIn("Updating the launcher...", statuses, context)
        after = statuses[statuses.index("Updating the launcher..."):]
        # The launcher's entry is out of the count and the size of the download step.
        self.assertEqual(after, ["Updating the launcher...", f"Downloading 1 / 1  ({size_text(len(game_file))})",
                                 "The launcher could not be updated (connection lost)."], context)
        self.assertEqual(self.server.paths(), ["/manifest.txt"] + ["/launcher.exe"] * 3 + ["/data/a.bin"] * 2)
        self.assertIsNone(process.poll(), context)
        self.assertFilesAre({"data/a.bin": game_file})

    def test_launcher_alone_failing_fails_the_pass(self):
        self.publish({"launcher.exe": self.newer})
        self.server.rules({"/launcher.exe": {"status": 500}})
        process, _ = self.launch()
        state = self.wait_pass_end()
        self.assertLauncherNotUpdated(state, "HTTP 500")
        self.assertEqual(self.server.paths(), ["/manifest.txt"] + ["/launcher.exe"] * 3)
        self.assertIsNone(process.poll(), self.details())

    def test_new_file_that_cannot_start_leaves_the_running_one_and_takes_the_mutex_back(self):
        no_program = b"These bytes are no program.\r\n" * 200
        game_file = pattern(10000, 4)
        self.publish({"launcher.exe": no_program, "data/a.bin": game_file})
        # The first attempt hangs a second, long enough to watch the status line say so.
        self.server.rules({"/launcher.exe": {"stall_after": 0, "stall_seconds": 1, "times": 1}})
        first, state = self.launch()
        pid = state["pid"]
        state = self.wait_pass_end()
        context = self.details()
        # Error 193: not a valid program.
        self.assertLauncherNotUpdated(state, "can't start Launcher.new.exe (error 193)")
        self.assertIn("Updating the launcher...", self.statuses_of(pid), context)
        self.assertEqual(state["pid"], pid, context)
        self.assertFilesAre({"data/a.bin": game_file})
        self.assertEqual(self.server.paths(), ["/manifest.txt", "/launcher.exe", "/launcher.exe", "/data/a.bin"])

        # The mutex went for the failed start and came back at once: a second launcher waits two
        # seconds, raises the first one's window and ends without a window of its own.
        other = harness.GameFolder(self.session.paths, self.session.work, self.name + "-second")
        began = time.monotonic()
        second = self.session.wine(other.launcher, cwd=self.session.paths.work)
        self.processes.append(second)
        self.assertEqual(self.wait_exit(second), 0)
        self.assertGreaterEqual(time.monotonic() - began, SECOND_START_WAIT, "the mutex was not taken back")
        self.assertEqual(self.probe.ask("count")["windows"], 1)
        self.assertIsNone(first.poll())
        self.probe.act(f"click {ID_EXIT}")
        self.assertEqual(self.wait_exit(first), 0)

    def test_new_launcher_that_cannot_take_the_name_starts_the_old_one_which_does_not_hand_over_again(self):
        # A program holding launcher.exe open without delete sharing keeps the new launcher from
        # taking the name, under wine as under Windows (where the old launcher's own run would, for a
        # moment, do the same). After 30 s the new launcher gives up and starts the old one again,
        # marked: its pass fails instead of handing over once more. RETRY, once the name is free,
        # replaces the launcher.
        self.publish({"launcher.exe": self.newer})
        holder = subprocess.Popen([self.session.paths.wine_run, os.environ["E2E_FILE_HOLDER"],
                                   harness.windows_path(self.folder.launcher)], env=self.session.env,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.processes.append(holder)
        self.assertEqual(holder.stdout.readline().strip(), "held")
        self.hold_first_attempt("/launcher.exe")
        process, state = self.launch()
        restarted = self.wait_restart(process, state["pid"], timeout=60)
        state = self.wait_own_pass_end(restarted)
        self.assertLauncherNotUpdated(state, "the new launcher could not take its place")
        self.assertNotIn("Updating the launcher...", self.statuses_of(restarted))
        self.assertEqual(self.server.paths(), ["/manifest.txt"] + ["/launcher.exe"] * 2 + ["/manifest.txt"])
        holder.stdin.write("\n")
        holder.stdin.close()
        self.assertEqual(holder.wait(30), 0)
        self.probe.act(f"click {harness.ID_RETRY}")
        state = self.wait_for(lambda s: s is not None and s["pid"] not in (None, restarted), 60,
                              "the replaced launcher's window")
        state = self.wait_own_pass_end(state["pid"])
        self.assertEqual(state["status"]["text"], "Your game is up to date.", self.details())
        self.assertEqual(self.own_bytes(), self.newer)
        self.close_window()

    def test_old_launcher_leftover_that_cannot_be_removed_stops_no_replacement(self):
        # A folder of the name an older launcher used for itself resists the pass's deletion.
        os.mkdir(self.folder.file("Launcher.old.exe"))
        self.folder.write("Launcher.old.exe/note.txt", b"left by someone")
        game_file = b"game data"
        self.publish({"launcher.exe": self.newer, "a.txt": game_file})
        self.hold_first_attempt("/launcher.exe")
        process, state = self.launch()
        new_pid = self.wait_restart(process, state["pid"])
        state = self.wait_own_pass_end(new_pid)
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertEqual(self.own_bytes(), self.newer)
        self.assertTrue(os.path.isdir(self.folder.file("Launcher.old.exe")))
        self.assertNotIn(NEW_NAME, self.folder_contents())
        self.assertFilesAre({"a.txt": game_file})
        self.close_window()

    def test_launcher_under_another_name_knows_itself_by_that_name(self):
        own_name = "Game Launcher.exe"
        os.rename(self.folder.launcher, self.folder.file(own_name))
        self.folder.launcher = self.folder.file(own_name)
        files = {own_name: self.newer, "launcher.exe": b"an ordinary game file of that name"}
        self.publish(files)
        self.hold_first_attempt("/Game%20Launcher.exe")
        process, state = self.launch()
        new_pid = self.wait_restart(process, state["pid"])
        state = self.wait_own_pass_end(new_pid)
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertEqual(state["detail"]["text"], "2 files checked.", self.details())
        self.assertEqual(self.server.paths(),
                         ["/manifest.txt"] + ["/Game%20Launcher.exe"] * 2 + ["/manifest.txt", "/launcher.exe"])
        self.assertFilesAre(files)
        self.assertNotIn(NEW_NAME, self.folder_contents())
        self.close_window()


if __name__ == "__main__":
    harness.main()
