"""Update passes through the real window against a loopback update server: a fresh install and
the pass after it, the list's message, game program and deletions, the failing ends, a file
that fails three times and RETRY, closing during a download, the requests as the server saw
them, downloads that go on where an earlier one broke off, and the same install from a real
nginx."""
import hashlib
import os
import re
import shutil
import stat
import subprocess
import tempfile
import time

import harness
import update_site
from harness import ID_RETRY, ID_START
from update_site import SiteTestCase, md5_text

UNREACHABLE_DETAIL = "You can still START with the files you have, or try again."
USER_AGENT = "Tavrinor-Launcher/1.0"
SPACED_PATH = "maps/Big map \xe9.dat"


def pattern(size, seed):
    return bytes((i * 7 + seed) % 251 for i in range(size))


# Small files, one of them big enough for several download reports, one with a blank and a
# byte beyond ASCII in its name.
RELEASE = {
    "readme.txt": b"Welcome to Tavrin.\r\n" * 20,
    "data/world.bin": pattern(300 * 1024, 3),
    SPACED_PATH: pattern(3000, 5),
}


class Install(SiteTestCase):
    def assertInstalled(self, files):
        self.assertFilesAre(files)
        leftovers = [p for p in self.folder_contents() if p.endswith(b".part")]
        self.assertEqual(leftovers, [], self.details())
        records, order = update_site.read_cache(self.folder.file("launcher.cache"))
        self.assertEqual(order, sorted(order), "cache lines out of key order")
        for path, data in files.items():
            key = update_site.as_bytes(path).lower()
            self.assertIn(key, records, self.details())
            self.assertEqual(records[key], (len(data), update_site.filetime(self.disk(path)), md5_text(data)),
                             f"cache record of {path}")

    def test_fresh_install_then_up_to_date(self):
        self.publish(RELEASE)
        process, _ = self.launch()
        state = self.wait_pass_end()
        context = self.details()
        self.assertEqual(state["status"]["text"], "Update complete.", context)
        self.assertEqual(state["detail"]["text"], "3 files checked.", context)
        self.assertEqual(state["progress"]["pos"], 1000, context)
        self.assertMode(state, "START", True, False)
        self.assertFocusOnStart()
        self.assertInstalled(RELEASE)

        # The files go on several connections at once, so they may arrive in any order.
        requests = self.server.requests()
        self.assertEqual(requests[0]["path"], "/manifest.txt")
        served = {"/readme.txt": RELEASE["readme.txt"], "/data/world.bin": RELEASE["data/world.bin"],
                  "/maps/Big%20map%20%C3%A9.dat": RELEASE[SPACED_PATH]}
        self.assertEqual(sorted(r["path"] for r in requests[1:]), sorted(served))
        self.assertRegex(requests[0]["query"], r"^t=\d+$")
        self.assertEqual(requests[0]["pragma"].lower(), "no-cache", requests[0])
        for request in requests[1:]:
            self.assertEqual(request["query"], "v=" + md5_text(served[request["path"]]), request)
            self.assertEqual(request["pragma"], "", request)
        for request in requests:
            self.assertEqual(request["user_agent"], USER_AGENT, request)
            self.assertEqual(request["method"], "GET", request)

        self.probe.act(f"click {harness.ID_EXIT}")
        self.assertEqual(self.wait_exit(process), 0)

        # The next start finds everything current: the list alone is fetched, no file is read
        # again for its digest, and the cache keeps its records.
        cache_before = self.read("launcher.cache")
        process, _ = self.launch()
        state = self.wait_pass_end()
        self.assertEqual(state["status"]["text"], "Your game is up to date.", self.details())
        self.assertEqual(state["detail"]["text"], "3 files checked.", self.details())
        self.assertEqual(state["progress"]["pos"], 1000, self.details())
        self.assertFocusOnStart()
        self.assertEqual(self.server.paths()[4:], ["/manifest.txt"])
        self.assertEqual(self.read("launcher.cache"), cache_before)

    def test_fresh_install_from_nginx(self):
        site = tempfile.mkdtemp(prefix="nginx-", dir=self.session.work)
        release = os.path.join(site, "release")
        update_site.publish(release, RELEASE)
        nginx = update_site.Nginx(os.path.join(site, "nginx"), release)
        self.addCleanup(nginx.close)
        self.folder.write_ini(url=nginx.url)
        # A download that broke off earlier goes on with nginx's own answer to a range, asked
        # with If-Range and the ETag nginx gave the answer that began it (its file's time and size).
        os.makedirs(self.folder.file("data"))
        self.folder.write("data/world.bin.part", RELEASE["data/world.bin"][:100_000])
        served = os.stat(os.path.join(release, "data", "world.bin"))
        etag = f'"{int(served.st_mtime):x}-{served.st_size:x}"'
        self.folder.write("data/world.bin.part.tag", f"{md5_text(RELEASE['data/world.bin'])}\n{etag}\n")
        self.launch()
        state = self.wait_pass_end()
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertEqual(state["detail"]["text"], "3 files checked.", self.details())
        self.assertInstalled(RELEASE)
        log = nginx.access_log()
        self.assertRegex(log, r'"GET /manifest\.txt\?t=\d+ HTTP/1\.1" 200 ')
        self.assertIn(f'"GET /maps/Big%20map%20%C3%A9.dat?v={md5_text(RELEASE[SPACED_PATH])} HTTP/1.1" 200 ', log)
        self.assertIn(f'"GET /data/world.bin?v={md5_text(RELEASE["data/world.bin"])} HTTP/1.1" 206 '
                      f'{len(RELEASE["data/world.bin"]) - 100_000} ', log)
        self.assertIn(USER_AGENT, log)


class ListContent(SiteTestCase):
    def test_news_lines_reach_the_info_text_from_a_crlf_list(self):
        self.publish({"a.txt": b"a"}, keys=["News=Server maintenance tonight.  ", "News=",
                                            "News=Patch 1.2: new maps."], newline="\r\n")
        self.launch()
        state = self.wait_pass_end()
        self.assertEqual(state["info"]["text"], "Server maintenance tonight.\r\n\r\nPatch 1.2: new maps.",
                         self.details())
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.screenshot("news")

    def test_run_and_delete_lines(self):
        with open(self.session.paths.game, "rb") as f:
            game = f.read()
        files = {"bin/play.exe": game, "keep.txt": b"kept"}
        self.publish(files, keys=["Run=main.exe", "Run=bin/play.exe", "Run=../escape.exe",
                                  "Delete=old.dat", "Delete=stuff/locked.dat", "Delete=never-there.dat",
                                  "Delete=../outside.dat"])
        self.folder.add_game("main.exe")
        self.folder.write("old.dat", b"old")
        os.mkdir(self.folder.file("stuff"))
        self.folder.write("stuff/locked.dat", b"locked")
        os.chmod(self.folder.file("stuff/locked.dat"), stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
        outside = os.path.join(self.session.work, "outside.dat")
        with open(outside, "wb") as f:
            f.write(b"outside")
        self.addCleanup(os.remove, outside)
        process, _ = self.launch()
        state = self.wait_pass_end()
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertFalse(os.path.exists(self.folder.file("old.dat")))
        self.assertFalse(os.path.exists(self.folder.file("stuff/locked.dat")), "read-only file not deleted")
        self.assertTrue(os.path.isdir(self.folder.file("stuff")))
        self.assertTrue(os.path.exists(outside), "a refused Delete path reached outside the folder")
        self.assertFilesAre(files)
        self.probe.act(f"click {ID_START}")
        self.assertEqual(self.wait_exit(process), 0)
        record = harness.game_record(self.folder.file("bin/game_record.txt"))
        self.assertEqual(record["cmdline"].lower(),
                         f'"{harness.windows_path(self.folder.file("bin/play.exe"))}"'.lower(), record)
        self.assertEqual(record["cwd"].rstrip("\\").lower(), harness.windows_path(self.folder.path).lower(),
                         record)
        self.assertFalse(os.path.exists(self.folder.file("game_record.txt")), "main.exe ran instead")

        # The installed release's program is remembered: with no server reachable START runs it too.
        os.remove(self.folder.file("bin/game_record.txt"))
        self.folder.write_ini(url="http://127.0.0.1:9/")
        process, _ = self.launch()
        state = self.wait_pass_end()
        self.assertTrue(state["status"]["text"].startswith("Can't reach the update server"), self.details())
        self.probe.act(f"click {ID_START}")
        self.assertEqual(self.wait_exit(process), 0)
        harness.game_record(self.folder.file("bin/game_record.txt"))
        self.assertFalse(os.path.exists(self.folder.file("game_record.txt")), "main.exe ran instead")

    def test_a_file_a_skipped_release_deleted_is_gone_and_what_no_release_listed_stays(self):
        """Published with make_manifest as a studio does: 1.1 deletes the intro, 1.2 names it
        nowhere, and a player who goes from 1.0 straight to 1.2 loses it all the same. The
        settings the player changed (kept, no longer shipped by 1.2), saves and mods stay."""
        def publish(files, options=()):
            update_site.publish_release(self.session.paths, self.server.root, files, options)

        def run_pass():
            process, _ = self.launch()
            self.assertEqual(self.wait_pass_end()["status"]["text"], "Update complete.", self.details())
            self.probe.act(f"click {harness.ID_EXIT}")
            self.assertEqual(self.wait_exit(process), 0)

        publish({"main.exe": b"game 1.0", "data/intro.avi": b"intro of 1.0", "data/levels.pak": pattern(5000, 1),
                 "settings.cfg": b"defaults"}, ["--keep", "*.cfg"])
        run_pass()
        self.folder.write("settings.cfg", b"the player's settings")
        os.makedirs(self.folder.file("saves"))
        self.folder.write("saves/slot1.sav", b"a player's save")
        self.folder.write("data/mod.pak", b"a player's mod")
        publish({"main.exe": b"game 1.1", "data/levels.pak": pattern(5000, 1), "settings.cfg": b"defaults"},
                ["--keep", "*.cfg", "--delete", "data/intro.avi"])
        publish({"main.exe": b"game 1.2", "data/levels.pak": pattern(5000, 2)})
        run_pass()
        self.assertEqual(self.folder_contents(), {b"launcher.exe", b"launcher.ini", b"launcher.cache",
                                                  b"launcher.installed", b"main.exe", b"data/levels.pak",
                                                  b"settings.cfg", b"saves/slot1.sav", b"data/mod.pak"})
        self.assertFilesAre({"main.exe": b"game 1.2", "settings.cfg": b"the player's settings",
                             "saves/slot1.sav": b"a player's save", "data/mod.pak": b"a player's mod"})

    def test_a_cyrillic_folder_installs_and_updates_names_news_and_title_in_any_script(self):
        """UTF-8 throughout: the game folder, the list's names, its news, the title, and a
        launcher.ini saved with a UTF-8 byte order mark, then as UTF-16 (Notepad's "Unicode")."""
        game = os.path.join(self.folder.path, "Игры", "Сага о Таврине")
        os.makedirs(game)
        shutil.move(self.folder.launcher, game)
        self.folder.path, self.folder.launcher = game, os.path.join(game, "launcher.exe")
        title = "Сага — Ελληνικά 日本語 Öde"
        ini = f"[Launcher]\r\nUrl={self.server.url}\r\nTitle={title}\r\n"
        self.folder.write("launcher.ini", b"\xef\xbb\xbf" + ini.encode("utf-8"))
        files = {"données/carte é.bin": pattern(5000, 1), "Ελληνικά/Αρχείο.txt": b"alpha",
                 "日本/データ.bin": pattern(700, 2), "Игры/сохранение.dat": b"save"}
        news = ["Östliche Marsch: geöffnet.", "Νέα περιοχή, 新しい地図."]
        listed = self.publish_both(files, news)
        self.launch()
        state = self.wait_pass_end()
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertEqual(state["caption"], title, self.details())
        self.assertEqual(state["info"]["text"], "\r\n".join(news), self.details())
        self.assertLanded(files)
        self.screenshot("any-script")
        first_pass_requests = len(self.server.requests())
        self.probe.act(f"click {harness.ID_EXIT}")

        # The next release changes and adds names in other scripts; launcher.ini is now UTF-16.
        files["Ελληνικά/Αρχείο.txt"] = b"beta"
        files["données/Écran ß.txt"] = b"new"
        self.folder.write("launcher.ini", b"\xff\xfe" + ini.encode("utf-16-le"))
        self.assertNotEqual(self.publish_both(files, news[:1]), listed)
        self.launch()
        state = self.wait_pass_end()
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertEqual(state["caption"], title, self.details())
        self.assertEqual(state["info"]["text"], news[0], self.details())
        self.assertLanded(files)
        # Only the two new files were fetched, under their percent-encoded UTF-8 names.
        second = [r["path"] for r in self.server.requests()][first_pass_requests:]
        self.assertEqual(sorted(second), ["/%CE%95%CE%BB%CE%BB%CE%B7%CE%BD%CE%B9%CE%BA%CE%AC/"
                                          "%CE%91%CF%81%CF%87%CE%B5%CE%AF%CE%BF.txt",
                                          "/donn%C3%A9es/%C3%89cran%20%C3%9F.txt", "/manifest.txt"])

    def publish_both(self, files, news):
        """Publishes with the native make_manifest, the files at their paths so that their names
        reach the server, and checks that the Windows one, run in the prefix on the same folder,
        writes the very same list."""
        news_file = os.path.join(self.site, "news.txt")
        with open(news_file, "wb") as f:
            f.write(b"\xef\xbb\xbf" + "\r\n".join(news).encode("utf-8"))
        listed = update_site.publish_release(self.session.paths, self.server.root, files,
                                             ["--news", news_file, "--no-delta"], objects=False)
        windows = subprocess.run([self.session.paths.wine_run, self.session.paths.windows_make_manifest,
                                  harness.windows_path(self.server.root), "--version", "1", "--quiet", "--at-paths",
                                  "--no-delta", "--news", harness.windows_path(news_file)],
                                 env=self.session.env, capture_output=True, timeout=120)
        self.assertEqual((windows.returncode, windows.stdout), (0, listed), windows.stderr)
        return listed

    def assertLanded(self, files):
        """Every listed name is on the disk with exactly its list bytes, and nothing under another name."""
        expected = {update_site.as_bytes(path) for path in files}
        on_disk = {p for p in self.folder_contents()
                   if p not in (b"launcher.exe", b"launcher.ini", b"launcher.cache", b"launcher.installed")}
        self.assertEqual(on_disk, expected, self.details())
        self.assertFilesAre(files)


class FailingEnds(SiteTestCase):
    def test_broken_list(self):
        self.publish({"a.txt": b"a"})
        self.server.rules({"/manifest.txt": {"body": "<html><body><h1>Welcome</h1></body></html>"}})
        before = self.folder_contents()
        _, _ = self.launch()
        state = self.wait_pass_end()
        context = self.details()
        self.assertEqual(state["status"]["text"], "The update list is broken - try again later.", context)
        self.assertEqual(state["detail"]["text"], "", context)
        self.assertEqual(state["progress"]["pos"], 0, context)
        self.assertEqual(state["info"]["text"], "Welcome!", context)
        self.assertMode(state, "START anyway", True, True)
        self.assertEqual(self.folder_contents(), before, "a broken list changed the folder")
        self.assertEqual(self.server.paths(), ["/manifest.txt"])

    def test_list_not_found(self):
        self.server.rules({"/manifest.txt": {"status": 404}})
        self.launch()
        state = self.wait_pass_end()
        context = self.details()
        self.assertEqual(state["status"]["text"], "Can't reach the update server (HTTP 404).", context)
        self.assertEqual(state["detail"]["text"], UNREACHABLE_DETAIL, context)
        self.assertMode(state, "START anyway", True, True)
        self.assertNotEqual(state["focus"], "start", context)
        self.assertFalse(os.path.exists(self.folder.file("launcher.cache")))

    def test_file_failing_three_times_fails_the_pass_and_retry_fetches_it(self):
        # One connection: the files after the failing one must never be asked for. The failed
        # pass changes no game file and deletes nothing; RETRY fetches no byte twice.
        self.folder.write_ini(url=self.server.url, connections=1)
        files = {"a.txt": b"first file\r\n", "b%.bin": pattern(5000, 9), "c.txt": b"third"}
        self.publish(files, keys=["Delete=gone.dat"])
        self.folder.write("c.txt", b"old third")
        self.folder.write("gone.dat", b"of the old release")
        self.server.rules({"/b%25.bin": {"status": 500, "times": 3}})
        self.launch()
        state = self.wait_pass_end(timeout=40)
        context = self.details()
        self.assertEqual(state["status"]["text"], "Download failed: HTTP 500", context)
        # The path as the list writes it, its percent sign untouched by the formatting.
        self.assertEqual(state["detail"]["text"], "b%.bin", context)
        self.assertMode(state, "START anyway", True, True)
        self.assertEqual(self.server.paths(), ["/manifest.txt", "/a.txt"] + ["/b%25.bin"] * 3)
        self.assertEqual(self.folder_contents(), {b"launcher.exe", b"launcher.ini", b"launcher.cache", b"a.txt.part",
                                                  b"c.txt", b"gone.dat"})
        self.assertEqual(self.read("a.txt.part"), files["a.txt"])
        self.assertEqual(self.read("c.txt"), b"old third")
        self.assertEqual(self.read("gone.dat"), b"of the old release")

        self.probe.act(f"click {ID_RETRY}")
        state = self.wait_for(lambda s: s["status"]["text"] == "Update complete.", 30, "the RETRY pass to end")
        self.assertEqual(state["detail"]["text"], "3 files checked.", self.details())
        self.assertMode(state, "START", True, False)
        self.assertFilesAre(files)
        self.assertEqual(self.server.paths()[5:], ["/manifest.txt", "/b%25.bin", "/c.txt"])
        self.assertFalse(os.path.exists(self.folder.file("gone.dat")))

    def test_closing_during_a_download_leaves_the_old_file(self):
        old = b"the file as it was before"
        self.folder.write("world.bin", old)
        notes = b"notes" * 400
        world = pattern(400 * 1024, 1)
        self.publish({"notes.txt": notes, "world.bin": world})
        self.server.rules({"/world.bin": {"stall_after": 100000, "stall_seconds": 20}})
        process, _ = self.launch()
        self.wait_for(lambda s: s["detail"]["text"].startswith("world.bin  -  "), 20,
                      "the download to report progress")
        state = self.state()
        # The count and the size are those of the whole download step.
        self.assertEqual(state["status"]["text"], "Downloading 2 / 2  (402 KB)", self.details())
        self.assertRegex(state["detail"]["text"], r"^world\.bin  -  \d+ KB / 402 KB  \(\d+ KB/s\)$")
        self.probe.act("close")
        state = self.wait_box()
        self.assertEqual(state["box"]["text"], "The update is not finished. Close anyway?", self.details())
        self.probe.act("answer yes")
        self.assertEqual(self.wait_exit(process, timeout=5), 0)
        with open(self.folder.file("world.bin"), "rb") as f:
            self.assertEqual(f.read(), old, "the target changed although its download never ended")
        # The file that arrived waits verified in its part: no file of the release is placed alone.
        self.assertFalse(os.path.exists(self.folder.file("notes.txt")))
        self.assertEqual(self.read("notes.txt.part"), notes)
        left = self.folder_contents() - {b"launcher.exe", b"launcher.ini", b"launcher.cache", b"world.bin",
                                         b"notes.txt.part"}
        self.assertLessEqual(left, {b"world.bin.part", b"world.bin.part.tag"}, self.details())
        if b"world.bin.part" in left:
            with open(self.disk("world.bin") + b".part", "rb") as f:
                kept = f.read()
            self.assertEqual(kept, world[:len(kept)], "the kept part is not the start of the file")


# Bytes of the test server's "generate" pattern: 0..250 repeated.
PATTERN_PERIOD = 251


def served_pattern(offset, length):
    start = offset % PATTERN_PERIOD
    return (bytes(range(PATTERN_PERIOD)) * ((start + length) // PATTERN_PERIOD + 1))[start:start + length]


def served_pattern_md5(size):
    digest = hashlib.md5()
    block = bytes(range(PATTERN_PERIOD)) * 4178  # whole periods, so blocks join seamlessly
    for _ in range(size // len(block)):
        digest.update(block)
    digest.update(served_pattern(0, size % len(block)))
    return digest.hexdigest()


class Resume(SiteTestCase):
    def wait_sent(self, path, timeout=5.0):
        """What the server sent for `path`, once it has logged at least one answer."""
        deadline = time.monotonic() + timeout
        while not self.server.sent(path) and time.monotonic() < deadline:
            time.sleep(harness.POLL_SECONDS)
        return self.server.sent(path)

    def kept_part(self, path, data):
        """The bytes a part file kept, checked to be the start of the file."""
        with open(self.disk(path) + b".part", "rb") as f:
            kept = f.read()
        self.assertEqual(kept, data[:len(kept)], f"{path}.part is not the start of the file")
        return len(kept)

    def test_cut_at_half_then_retry_fetches_only_the_rest(self):
        data = pattern(2_000_000, 4)
        self.publish({"big.bin": data})
        # The later attempts are refused; each asks for the rest first, then starts over once.
        self.server.rules({"/big.bin": {"drop_after": 1_000_000, "times": 1,
                                        "then": {"status": 500, "times": 4}}})
        self.launch()
        state = self.wait_pass_end(timeout=40)
        self.assertEqual(state["status"]["text"], "Download failed: HTTP 500", self.details())
        self.assertEqual(self.kept_part("big.bin", data), 1_000_000)
        self.probe.act(f"click {ID_RETRY}")
        state = self.wait_for(lambda s: s["status"]["text"] == "Update complete.", 30, "the RETRY pass to end")
        self.assertFilesAre({"big.bin": data})
        self.assertFalse(os.path.exists(self.disk("big.bin") + b".part"))
        asked = [r["range"] for r in self.server.requests() if r["path"] == "/big.bin"]
        self.assertEqual(asked, ["", "bytes=1000000-", "", "bytes=1000000-", "", "bytes=1000000-"])
        self.assertEqual(self.server.sent("/big.bin"), [1_000_000, 0, 0, 0, 0, 1_000_000], self.details())

    def test_a_file_past_4_gib_cut_past_4_gib_goes_on_and_lands_exactly(self):
        # Offsets and sizes past 32 bits all the way: the list, the cut part, the range asked for,
        # the Content-Range read back, the digest and the place of every byte on the disk. The
        # server makes the bytes, so only the player's side takes the disk space.
        size = (1 << 32) + 300_007
        cut = (1 << 32) + 1000
        with open(os.path.join(self.server.root, "manifest.txt"), "w") as out:
            out.write(f"Version=big\nF|{served_pattern_md5(size)}|{size}|data/huge.pak\n")
        self.addCleanup(shutil.rmtree, self.folder.file("data"), True)
        self.server.rules({"/data/huge.pak": {"generate": size, "drop_after": cut, "times": 1,
                                              "then": {"generate": size}}})
        self.launch()
        state = self.wait_pass_end(timeout=600)
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        requests = [r for r in self.server.requests() if r["path"] == "/data/huge.pak"]
        self.assertEqual([r["range"] for r in requests], ["", f"bytes={cut}-"], self.details())
        self.assertEqual(self.server.sent("/data/huge.pak"), [cut, size - cut])
        target = self.disk("data/huge.pak")
        self.assertEqual(os.path.getsize(target), size)
        with open(target, "rb") as f:
            for offset in (0, (1 << 31) - 40, (1 << 32) - 40, cut - 40, size - 80):
                f.seek(offset)
                self.assertEqual(f.read(80), served_pattern(offset, 80), f"bytes at {offset}")

    def test_closing_with_four_downloads_in_flight_then_the_next_start_goes_on(self):
        files = {f"data/f{i}.bin": pattern(1_000_000, i) for i in range(4)}
        old = {path: b"old " + path.encode() for path in files}
        for path, data in old.items():
            os.makedirs(os.path.dirname(self.disk(path)), exist_ok=True)
            with open(self.disk(path), "wb") as f:
                f.write(data)
        self.publish(files)
        self.server.rules({f"/{path}": {"stall_after": 300_000, "stall_seconds": 20, "times": 1}
                           for path in files})
        process, _ = self.launch()
        self.wait_for(lambda s: s["status"]["text"] == "Downloading 4 / 4  (3.8 MB)"
                      and re.search(r"^data/f3\.bin  -  \S+ [KM]B / 3\.8 MB  \(\d+ KB/s\)$",
                                    s["detail"]["text"]), 15, "four downloads in flight")
        self.probe.act("close")
        self.wait_box()
        self.probe.act("answer yes")
        self.assertEqual(self.wait_exit(process, timeout=5), 0)
        self.assertFilesAre(old)
        kept = {path: self.kept_part(path, data) for path, data in files.items()}

        self.launch()
        state = self.wait_pass_end()
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertFilesAre(files)
        # The first answers are still held by the server, so only the second ones are logged.
        for path, data in files.items():
            sent = self.wait_sent("/" + path)
            self.assertEqual(sent, [len(data) - kept[path]], f"{path}: not only the missing bytes were sent")
        self.assertEqual([p for p in self.folder_contents() if p.endswith(b".part")], [])


if __name__ == "__main__":
    harness.main()
