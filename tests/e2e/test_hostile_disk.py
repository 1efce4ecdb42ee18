"""Hostile disks, each met by the real launcher under wine64: a read-only game folder (by unix
permissions, by the Windows attribute and by a read-only mount), a download target that exists as
a folder, a full disk, a volume too small for the update, and the running game holding a file
open. Every case ends with the pass's own text, the launcher closing with code 0, the game files
all as they were or all as verified, no ".part" left but a verified file waiting for the switch,
and nothing outside the game folder touched."""
import os
import shutil
import stat
import subprocess

import harness
import hostile
from hostile import HostileCase, entry, mode_of, pattern

OLD = b"old content of the game file\n"
IN_USE = "The update could not be installed: the file is in use - close the game first"
FULL_DISK_SIZE = "1m"
SMALL_VOLUME_SIZE = "20m"
HOLDER_TIMEOUT = 30.0


def can_mount():
    return os.geteuid() == 0


class Mounts:
    """Mounts made by one case, undone at its end (after the launcher has ended)."""

    def __init__(self, case):
        self.points = []
        case.addCleanup(self.undo)

    def mount(self, *arguments):
        result = subprocess.run(["mount"] + list(arguments), stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)
        if result.returncode == 0:
            self.points.append(arguments[-1])
        return result

    def undo(self):
        for point in reversed(self.points):
            subprocess.run(["umount", "-l", point], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class ReadOnly(HostileCase):
    group = "disk"

    def attributes(self, path):
        """What wine's attrib shows for a path: its attribute letters."""
        result = subprocess.run([self.session.paths.wine_run, "cmd", "/c", "attrib",
                                 harness.windows_path(path)], env=self.session.env,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=60)
        line = result.stdout.decode("latin-1").strip().splitlines()
        return line[0].split("Z:")[0].strip() if line else ""

    def test_read_only_by_permissions_and_attribute(self):
        new = pattern(20_000)
        server = self.start_server()
        server.serve(b"data/a.bin", new)
        server.publish([entry(b"data/a.bin", new)])
        self.folder.put(b"data/a.bin", OLD)
        self.folder.write_ini(url=server.url)
        data = self.folder.file("data")
        target = self.folder.file("data/a.bin")
        # The unix side: no write bits anywhere; wine shows a file without write bits as
        # read-only. The Windows side: attrib +r on the file and on its folder.
        os.chmod(target, 0o444)
        for folder in (data, self.folder.path):
            os.chmod(folder, 0o555)
        self.addCleanup(os.chmod, self.folder.path, 0o755)
        self.addCleanup(os.chmod, data, 0o755)
        subprocess.run([self.session.paths.wine_run, "cmd", "/c", "attrib", "+r",
                        harness.windows_path(data)], env=self.session.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        seen = {"file": self.attributes(target), "folder": self.attributes(data)}
        self.assertIn("R", seen["file"], seen)
        process, state, seconds = self.run_pass()
        # Root passes unix permissions by, and a read-only attribute on a folder guards nothing on
        # Windows either; the file's own read-only attribute is cleared before the move.
        self.assertEnd(state, "Update complete.", "Ready", "1 files checked.")
        self.assertEqual(self.folder.get(b"data/a.bin"), new)
        self.close_and_check(process, state, "read-only folder and file",
                             "chmod 555 on the game folder and data/, 444 and attrib +r on the file, "
                             f"attrib +r on data/ (wine shows file '{seen['file']}', folder '{seen['folder']}')",
                             seconds, "file replaced by the verified new content", wine_attributes=seen)

    def test_read_only_mount(self):
        if not can_mount():
            self.skipTest("a read-only mount needs root")
        new = pattern(20_000)
        server = self.start_server()
        server.serve(b"data/a.bin", new)
        server.publish([entry(b"data/a.bin", new)])
        self.folder.put(b"data/a.bin", OLD)
        self.folder.write_ini(url=server.url)
        data = self.folder.file("data")
        mounts = Mounts(self)
        made = mounts.mount("--bind", data, data)
        if made.returncode != 0:
            self.skipTest(f"bind mount refused: {made.stdout.strip()}")
        made = mounts.mount("-o", "remount,bind,ro", data)
        if made.returncode != 0:
            self.skipTest(f"read-only remount refused: {made.stdout.strip()}")
        process, state, seconds = self.run_pass()
        # Wine reports the read-only file system as a denied access, as Windows does for a folder
        # the player may not write.
        self.assertEnd(state, "Download failed: no permission to write in the game folder", "Failed", "data/a.bin")
        self.assertEqual(server.hits("/data/a.bin"), 3)
        self.assertEqual(self.folder.get(b"data/a.bin"), OLD)
        self.close_and_check(process, state, "read-only mount", "data/ bind-mounted read-only",
                             seconds, "old file intact", attempts=server.hits("/data/a.bin"))


class Targets(HostileCase):
    group = "disk"

    def test_target_that_is_a_folder(self):
        new = pattern(20_000)
        server = self.start_server()
        server.serve(b"data/a.bin", new)
        server.publish([entry(b"data/a.bin", new)])
        self.folder.put(b"data/a.bin/inside.txt", OLD)
        self.folder.write_ini(url=server.url)
        before = os.stat(self.folder.file("data/a.bin/inside.txt"))
        process, state, seconds = self.run_pass()
        # Downloaded once: the verified file waits in its part for its place, and nothing moves.
        self.assertEnd(state, "The update could not be installed: a folder has the file's name - remove or rename it",
                       "Failed", "data/a.bin")
        self.assertEqual(server.hits("/data/a.bin"), 1)
        self.assertTrue(stat.S_ISDIR(os.stat(self.folder.file("data/a.bin")).st_mode))
        self.assertEqual(os.listdir(self.folder.file("data/a.bin")), ["inside.txt"])
        self.assertEqual(self.folder.get(b"data/a.bin/inside.txt"), OLD)
        after = os.stat(self.folder.file("data/a.bin/inside.txt"))
        self.assertEqual(after.st_mtime_ns, before.st_mtime_ns)
        self.close_and_check(process, state, "target is a folder",
                             "data/a.bin exists as a folder holding a file", seconds,
                             "folder and its file untouched; the verified file kept in its part",
                             part_of={b"data/a.bin": new}, requests=server.hits("/data/a.bin"))

    def test_file_held_open_by_the_game(self):
        new = pattern(20_000)
        other = pattern(30_000)
        server = self.start_server()
        server.serve(b"data/a.bin", new)
        server.serve(b"other.bin", other)
        server.publish([entry(b"data/a.bin", new), entry(b"other.bin", other), b"Delete=old.dll"])
        self.folder.put(b"data/a.bin", OLD)
        self.folder.put(b"other.bin", OLD)
        self.folder.put(b"old.dll", OLD)
        self.folder.write_ini(url=server.url)
        holder = subprocess.Popen([self.session.paths.wine_run, os.environ["E2E_FILE_HOLDER"],
                                   harness.windows_path(self.folder.file("data/a.bin"))],
                                  env=self.session.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(self.release, holder)
        self.assertEqual(holder.stdout.readline().strip(), "held")
        process, state, seconds = self.run_pass()
        self.assertEnd(state, IN_USE, "Failed", "data/a.bin")
        self.assertEqual(server.hits("/data/a.bin"), 1, "an in-use failure was tried again")
        # The whole release stays where it was: no other file moved, nothing deleted.
        for path in (b"data/a.bin", b"other.bin", b"old.dll"):
            self.assertEqual(self.folder.get(path), OLD, path)
        # Once the game lets go, RETRY switches the verified files kept in their parts: no download.
        self.release(holder)
        self.probe.act(f"click {harness.ID_RETRY}")
        state = self.wait_for(lambda s: s["start"]["enabled"] and s["status"]["text"] != IN_USE,
                              hostile.PASS_TIMEOUT, "the RETRY pass to end")
        self.assertEnd(state, "Update complete.", "Ready", "2 files checked.")
        self.assertEqual(server.hits("/data/a.bin"), 1, "the verified file was downloaded again")
        self.assertEqual(server.hits("/other.bin"), 1, "the verified file was downloaded again")
        self.assertEqual(self.folder.get(b"data/a.bin"), new)
        self.assertEqual(self.folder.get(b"other.bin"), other)
        self.assertFalse(os.path.exists(self.folder.file("old.dll")))
        self.close_and_check(process, state, "file held open by the game",
                             "another process holds data/a.bin open without delete sharing; RETRY once it lets go",
                             seconds, "old release intact while held; RETRY switched the kept verified files",
                             requests=server.hits("/data/a.bin"))

    def release(self, holder):
        if holder.poll() is not None:
            return
        try:
            holder.stdin.write("\n")
            holder.stdin.close()
            holder.wait(HOLDER_TIMEOUT)
        except (OSError, subprocess.TimeoutExpired):
            holder.kill()
            holder.wait()
        holder.stdout.close()


class Cache(HostileCase):
    group = "disk"

    def test_cache_file_that_is_a_folder(self):
        new = pattern(20_000)
        server = self.start_server()
        server.serve(b"data/a.bin", new)
        server.publish([entry(b"data/a.bin", new)])
        self.folder.put(b"launcher.cache/inside.txt", OLD)
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass()
        # The cache can be neither read nor written; the pass does without it.
        self.assertEnd(state, "Update complete.", "Ready", "1 files checked.")
        self.assertEqual(self.folder.get(b"data/a.bin"), new)
        self.assertEqual(os.listdir(self.folder.file("launcher.cache")), ["inside.txt"])
        self.assertEqual(self.folder.get(b"launcher.cache/inside.txt"), OLD)
        self.close_and_check(process, state, "cache file is a folder",
                             "launcher.cache exists as a folder holding a file", seconds,
                             "folder untouched; the file fetched and verified")


class FullDisk(HostileCase):
    group = "disk"

    def test_full_disk(self):
        if not can_mount():
            self.skipTest("a small file system for the full disk needs root")
        small = pattern(50_000)
        big = pattern(3 << 20)
        server = self.start_server()
        server.serve(b"data/small.bin", small)
        server.serve(b"data/big.bin", big)
        server.publish([entry(b"data/small.bin", small), entry(b"data/big.bin", big)])
        data = self.folder.file("data")
        os.makedirs(data)
        mounts = Mounts(self)
        made = mounts.mount("-t", "tmpfs", "-o", f"size={FULL_DISK_SIZE}", "tmpfs", data)
        if made.returncode != 0:
            self.skipTest(f"tmpfs mount refused: {made.stdout.strip()}")
        self.folder.put(b"data/big.bin", OLD)
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass()
        # The game folder's volume had room; data/ filled: one attempt, not three.
        self.assertEnd(state, "Download failed: disk full?", "Failed", "data/big.bin")
        self.assertEqual(server.hits("/data/big.bin"), 1)
        self.assertEqual(self.folder.get(b"data/big.bin"), OLD)
        self.assertFalse(os.path.exists(self.folder.file("data/small.bin")))
        free = os.statvfs(data)
        self.close_and_check(process, state, "full disk",
                             f"data/ on a {FULL_DISK_SIZE} tmpfs; a 3 MiB file after a 50 KB one",
                             seconds, "old file intact; the small file verified in its part, not placed",
                             part_of={b"data/small.bin": small}, attempts=server.hits("/data/big.bin"),
                             free_bytes_after=free.f_bavail * free.f_frsize)

    def test_too_little_space_is_said_before_any_request(self):
        if not can_mount():
            self.skipTest("a small file system for the game folder needs root")
        huge = pattern(32 << 20)
        server = self.start_server()
        server.serve(b"huge.pak", huge)
        server.publish([entry(b"huge.pak", huge)])
        mounts = Mounts(self)
        made = mounts.mount("-t", "tmpfs", "-o", f"size={SMALL_VOLUME_SIZE}", "tmpfs", self.folder.path)
        if made.returncode != 0:
            self.skipTest(f"tmpfs mount refused: {made.stdout.strip()}")
        shutil.copy(self.session.paths.launcher, self.folder.launcher)
        self.folder.put(b"huge.pak", OLD)
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass()
        self.assertRegex(state["status"]["text"], r"^Not enough disk space: the update needs [0-9.]+ MB more\.$")
        self.assertEqual(mode_of(state), "Failed")
        self.assertEqual(server.hits("/huge.pak"), 0)
        self.assertEqual(self.folder.get(b"huge.pak"), OLD)
        self.close_and_check(process, state, "volume too small",
                             f"the game folder on a {SMALL_VOLUME_SIZE} tmpfs; a 32 MiB file to fetch",
                             seconds, "said before any request; old file intact",
                             requests=server.hits("/huge.pak"))


if __name__ == "__main__":
    hostile.main()
