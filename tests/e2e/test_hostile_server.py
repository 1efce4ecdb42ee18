"""Hostile update servers, each met by the real launcher under wine64: endless bodies, bodies cut
mid-file, a server that never answers, redirect loops and a redirect to another server, an HTML
page for every address, a list of 50,000 entries, paths at the length limit and paths with
non-ASCII bytes and percent signs. Every case ends with the pass's own text, the launcher closing
with code 0, the game files either as they were or as verified, no ".part" left and nothing
outside the game folder touched."""
import os
import re
import time

import harness
import hostile
from hostile import (BROKEN_LIST, LIST_UNREACHABLE, THREE_ATTEMPTS_SECONDS, UNCHANGED_DETAIL,
                     HostileCase, encoded, entry, md5, pattern)

OLD = b"old content of the game file\n"
HTML_PAGE = (b"<!DOCTYPE html>\n<html><head><title>503 Service Unavailable</title></head>\n"
             b"<body><h1>Service Unavailable</h1><p>Please try again later.</p></body></html>\n")
# The receive time-out that every request carries. The silent server holds its connection far
# longer, so a pass that ends before it proves the time-out ended the wait.
NETWORK_TIMEOUT_SECONDS = 15.0
SILENT_SECONDS = 60
PASS_SLACK_SECONDS = 30.0
# A request follows at most ten redirections: the eleventh answer ends it.
REQUESTS_PER_REDIRECT_LOOP = 11
CHUNKED_BODY_LIMIT = 64 << 20
MANY_ENTRIES = 50_000
MANY_ENTRIES_FOLDERS = 100
MANY_ENTRIES_TIMEOUT = 300.0
PATH_LIMIT = 240
# A drive letter of the e2e wine prefix, pointed at a scenario for the length-limit case so that
# a 240-byte path still fits the 260 characters that the ANSI file functions take.
SHORT_DRIVE = "h:"


class EndlessBodies(HostileCase):
    group = "server"

    def test_endless_update_list(self):
        server = self.start_server()
        server.rules({"/manifest.txt": {"endless": True}})
        self.folder.put(b"data/a.bin", OLD)
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass()
        self.assertEnd(state, LIST_UNREACHABLE("update list too large"), "Failed", UNCHANGED_DETAIL)
        self.assertEqual(self.folder.get(b"data/a.bin"), OLD)
        self.assertFalse(os.path.exists(self.folder.file("launcher.cache")), "cache written")
        self.close_and_check(process, state, "endless update list",
                             "list body without length that never ends", seconds,
                             "game files and cache untouched", requests=len(server.requests()))

    def test_endless_file_body(self):
        first = pattern(70_000)[::-1]
        big = pattern(100_000)
        server = self.start_server()
        server.serve(b"data/first.bin", first)
        server.publish([entry(b"data/first.bin", first), entry(b"data/big.bin", big)])
        server.rules({"/data/big.bin": {"endless": True}})
        self.folder.put(b"data/big.bin", OLD)
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass()
        self.assertEnd(state, "Download failed: file bigger than the list says", "Failed", "data/big.bin")
        self.assertEqual(server.hits("/data/big.bin"), 3)
        self.assertGreaterEqual(seconds, THREE_ATTEMPTS_SECONDS)
        self.assertEqual(self.folder.get(b"data/big.bin"), OLD)
        # The file fetched before it waits verified in its part: the release is installed whole.
        self.assertFalse(os.path.exists(self.folder.file("data/first.bin")))
        self.assertEqual(self.folder.get(b"data/first.bin.part"), first)
        cache = self.folder.get(b"launcher.cache").decode("latin-1")
        self.assertNotIn("data/first.bin", cache)
        self.assertNotIn("data/big.bin", cache)
        self.close_and_check(process, state, "endless file body",
                             "file body without length that never ends", seconds,
                             "old file intact; the file fetched before it verified in its part",
                             part_of={b"data/first.bin": first}, attempts=server.hits("/data/big.bin"))

    def test_endless_chunked_file_body(self):
        # Wine's WinINet keeps a chunked connection for reuse: closing the request after the
        # refusal reads the rest of the body first, so each attempt lasts until the server stops
        # sending (here after CHUNKED_BODY_LIMIT bytes; a server that never stops holds the pass).
        big = pattern(100_000)
        server = self.start_server()
        server.publish([entry(b"big.bin", big)])
        server.rules({"/big.bin": {"endless": True, "chunked": True, "endless_limit": CHUNKED_BODY_LIMIT}})
        self.folder.put(b"big.bin", OLD)
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass()
        self.assertEnd(state, "Download failed: file bigger than the list says", "Failed", "big.bin")
        self.assertEqual(self.folder.get(b"big.bin"), OLD)
        self.close_and_check(process, state, "endless chunked file body",
                             f"chunked file body of {CHUNKED_BODY_LIMIT >> 20} MiB, no length",
                             seconds, "old file intact",
                             attempts=server.hits("/big.bin"))


class CutBodies(HostileCase):
    group = "server"

    def test_file_body_stops_mid_file_every_time(self):
        new = pattern(400_000)
        server = self.start_server()
        server.serve(b"data/a.bin", new)
        server.publish([entry(b"data/a.bin", new)])
        server.rules({"/data/a.bin": {"drop_after": 100_000}})
        self.folder.put(b"data/a.bin", OLD)
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass()
        self.assertEnd(state, "Download failed: connection lost", "Failed", "data/a.bin")
        self.assertEqual(server.hits("/data/a.bin"), 3)
        self.assertGreaterEqual(seconds, THREE_ATTEMPTS_SECONDS)
        self.assertEqual(self.folder.get(b"data/a.bin"), OLD)
        # Each attempt goes on where the one before broke off, so the part holds three cuts' worth.
        self.assertEqual(len(self.folder.get(b"data/a.bin.part")), 300_000)
        self.close_and_check(process, state, "file body cut mid-file",
                             "Content-Length 400000, connection closed after 100000 bytes, every attempt",
                             seconds, "old file intact; the part file keeps the 300000 bytes that arrived, "
                             "for the next attempt", part_of={b"data/a.bin": new},
                             attempts=server.hits("/data/a.bin"))

    def test_update_list_cut_mid_body(self):
        new = pattern(1000)
        server = self.start_server()
        server.serve(b"a.bin", new)
        lines = [entry(b"a.bin", new)] + [entry(b"more/f%d.bin" % i, b"x") for i in range(200)]
        server.publish(lines)
        listed = os.path.getsize(os.path.join(server.root, "manifest.txt"))
        server.rules({"/manifest.txt": {"drop_after": listed // 2}})
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass()
        self.assertEnd(state, LIST_UNREACHABLE("connection lost"), "Failed", UNCHANGED_DETAIL)
        self.assertFalse(os.path.exists(self.folder.file("a.bin")), "a cut list was acted on")
        self.close_and_check(process, state, "update list cut mid-body",
                             "list Content-Length announced, connection closed halfway", seconds,
                             "nothing fetched from the half list")


class SilentServer(HostileCase):
    group = "server"

    def test_server_that_never_answers(self):
        # The receive time-out set on the request ends the wait for the answer long before the
        # server gives up; Windows numbers it 12002 and wine 12030, which read alike.
        server = self.start_server()
        server.rules({"/manifest.txt": {"silent": True, "stall_seconds": SILENT_SECONDS}})
        self.folder.put(b"data/a.bin", OLD)
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass(timeout=SILENT_SECONDS + PASS_SLACK_SECONDS)
        self.assertEqual(state["status"]["text"], LIST_UNREACHABLE("no answer from the server"))
        self.assertEqual(state["detail"]["text"], UNCHANGED_DETAIL)
        self.assertEqual(hostile.mode_of(state), "Failed")
        self.assertGreaterEqual(seconds, NETWORK_TIMEOUT_SECONDS * 0.9)
        self.assertLess(seconds, SILENT_SECONDS, "the pass waited for the server instead of its time-out")
        self.assertEqual(len(server.requests()), 1)
        self.assertEqual(self.folder.get(b"data/a.bin"), OLD)
        self.close_and_check(process, state, "server never answers",
                             f"list request read, no byte sent, connection held for {SILENT_SECONDS} s",
                             seconds, "game files and cache untouched", requests=len(server.requests()))


class Redirects(HostileCase):
    group = "server"

    # The loops never end on the server's side: the launcher's own limit of ten redirections
    # ends each request, whatever the stack underneath would do.
    def test_redirect_loop_for_the_update_list(self):
        server = self.start_server()
        server.rules({"/manifest.txt": {"redirect": "/loop.txt"},
                      "/loop.txt": {"redirect": server.url + "manifest.txt"}})
        self.folder.put(b"data/a.bin", OLD)
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass()
        self.assertEqual(state["status"]["text"], "Can't reach the update server (too many redirections).")
        self.assertEqual(hostile.mode_of(state), "Failed")
        requests = len(server.requests())
        self.assertEqual(requests, REQUESTS_PER_REDIRECT_LOOP)
        self.assertEqual(self.folder.get(b"data/a.bin"), OLD)
        self.close_and_check(process, state, "redirect loop (update list)",
                             "/manifest.txt -> /loop.txt -> /manifest.txt ... without end",
                             seconds, "game files untouched", requests=requests)

    def test_redirect_loop_for_a_file(self):
        new = pattern(5000)
        server = self.start_server()
        server.publish([entry(b"data/a.bin", new)])
        server.rules({"/data/a.bin": {"redirect": "/data/a.bin", "redirect_status": 301}})
        self.folder.put(b"data/a.bin", OLD)
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass()
        self.assertEqual(state["status"]["text"], "Download failed: too many redirections")
        self.assertEqual(hostile.mode_of(state), "Failed")
        self.assertEqual(state["detail"]["text"], "data/a.bin")
        requests = server.hits("/data/a.bin")
        self.assertEqual(requests, 3 * REQUESTS_PER_REDIRECT_LOOP)
        self.assertEqual(self.folder.get(b"data/a.bin"), OLD)
        self.close_and_check(process, state, "redirect loop (file)",
                             "/data/a.bin answers 301 to itself without end",
                             seconds, "old file intact", requests=requests)

    def test_redirect_to_another_server_is_followed(self):
        new = pattern(300_000)
        origin = self.start_server()
        other = self.start_server()
        other.serve(b"files/a.bin", new)
        other.publish([entry(b"data/a.bin", new)])
        origin.rules({"/manifest.txt": {"redirect": other.url + "manifest.txt"},
                      "/data/a.bin": {"redirect": other.url + "files/a.bin", "redirect_status": 307}})
        self.folder.put(b"data/a.bin", OLD)
        self.folder.write_ini(url=origin.url)
        process, state, seconds = self.run_pass()
        self.assertEnd(state, "Update complete.", "Ready", "1 files checked.")
        self.assertEqual(self.folder.get(b"data/a.bin"), new)
        self.assertEqual([r["path"] for r in origin.requests()], ["/manifest.txt", "/data/a.bin"])
        self.assertEqual([r["path"] for r in other.requests()], ["/manifest.txt", "/files/a.bin"])
        self.assertTrue(all(r["user_agent"] == "Tavrinor-Launcher/1.0" for r in other.requests()))
        self.close_and_check(process, state, "redirect to another server",
                             "list 302 and file 307 to a second server on another loopback port",
                             seconds, "file replaced by the verified new content")


class WrongContent(HostileCase):
    group = "server"

    def test_html_page_for_every_address(self):
        server = self.start_server()
        server.rules({"*": {"status": 200, "body": HTML_PAGE.decode("latin-1")}})
        self.folder.put(b"data/a.bin", OLD)
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass()
        self.assertEnd(state, BROKEN_LIST, "Failed", "")
        self.assertEqual(state["progress"]["pos"], 0)
        self.assertEqual([r["path"] for r in server.requests()], ["/manifest.txt"])
        self.assertEqual(self.folder.get(b"data/a.bin"), OLD)
        self.assertFalse(os.path.exists(self.folder.file("launcher.cache")), "cache written")
        self.close_and_check(process, state, "HTML page for every address",
                             "status 200 with an HTML error page for every path", seconds,
                             "game files and cache untouched")

    def test_html_page_for_every_file(self):
        new = pattern(4000)
        server = self.start_server()
        server.publish([entry(b"data/a.bin", new)])
        server.rules({"/data/a.bin": {"status": 200, "body": HTML_PAGE.decode("latin-1")}})
        self.folder.put(b"data/a.bin", OLD)
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass()
        self.assertEnd(state, "Download failed: file damaged on the way", "Failed", "data/a.bin")
        self.assertEqual(server.hits("/data/a.bin"), 3)
        self.assertEqual(self.folder.get(b"data/a.bin"), OLD)
        self.close_and_check(process, state, "HTML page for a file",
                             "good list; status 200 with an HTML page for the file", seconds,
                             "old file intact", attempts=server.hits("/data/a.bin"))


class EscapingList(HostileCase):
    group = "server"

    def test_list_that_aims_outside_the_game_folder(self):
        bait = b"replaced"
        server = self.start_server()
        site = harness.windows_path(self.folder.site).encode()
        for path in (b"../beside.txt", b"..\\sibling\\notes.txt", b"game/../../beside.txt",
                     site + b"\\beside.txt", b"\\beside.txt", b"sibling:stream"):
            server.serve(path.replace(b"\\", b"/").lstrip(b"/"), bait)
        escapes = [b"../beside.txt", b"..\\sibling\\notes.txt", b"game/../../beside.txt",
                   site + b"\\beside.txt", b"\\beside.txt", b"./../beside.txt", b"sibling:stream"]
        lines = [entry(path, bait) for path in escapes]
        lines += [entry(path, bait, kind=b"K") for path in escapes]
        lines += [b"Delete=" + path for path in escapes] + [b"Run=../beside.txt"]
        server.publish(lines)
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass()
        self.assertEnd(state, "Your game is up to date.", "Ready", "0 files checked.")
        self.assertEqual([r["path"] for r in server.requests()], ["/manifest.txt"])
        self.close_and_check(process, state, "list aims outside the game folder",
                             "entries, keep entries, Delete and Run lines with ../, ..\\, rooted, "
                             "drive and stream paths", seconds,
                             "every such line dropped; the sibling folder and the file beside untouched")


    def test_list_that_names_the_launchers_own_files_or_devices(self):
        # Named as Windows would open them: other letter case, trailing dots and blanks dropped.
        bait = b"[Launcher]\r\nUrl=http://127.0.0.1:9/\r\n"
        server = self.start_server()
        own = [b"LAUNCHER.INI", b"Launcher.Cache.", b"launcher.release .", b"launcher.cache.tmp", b"CON",
               b"data/nul.txt", b"Com1 .dat"]
        for path in own:
            server.serve(path.replace(b" ", b"_").rstrip(b"."), bait)
        lines = [entry(path, bait) for path in own] + [b"Delete=" + path for path in own]
        server.publish(lines)
        self.folder.write_ini(url=server.url)
        ini = self.folder.get(b"launcher.ini")
        self.folder.put(b"launcher.release", b"7\n")
        process, state, seconds = self.run_pass()
        self.assertEnd(state, "Your game is up to date.", "Ready", "0 files checked.")
        self.assertEqual([r["path"] for r in server.requests()], ["/manifest.txt"])
        self.assertEqual(self.folder.get(b"launcher.ini"), ini)
        self.assertEqual(self.folder.get(b"launcher.release"), b"7\n")
        self.close_and_check(process, state, "list names the launcher's own files",
                             "entries and Delete lines for launcher.ini, launcher.cache, launcher.release and "
                             "their .tmp files in other letter case and with trailing dots, and device names",
                             seconds, "every such line dropped; launcher.ini and launcher.release untouched")


class BigLists(HostileCase):
    group = "server"

    def test_fifty_thousand_current_entries(self):
        server = self.start_server()
        lines = []
        for i in range(MANY_ENTRIES):
            path = b"d%02d/f%05d.dat" % (i % MANY_ENTRIES_FOLDERS, i)
            data = b"%d" % i
            self.folder.put(path, data)
            lines.append(entry(path, data))
        server.publish(lines)
        self.folder.write_ini(url=server.url)
        process, state, first_seconds = self.run_pass(timeout=MANY_ENTRIES_TIMEOUT)
        count = f"{MANY_ENTRIES} files checked."
        self.assertEnd(state, "Your game is up to date.", "Ready", count)
        self.assertEqual(len(server.requests()), 1)
        with open(self.folder.file("launcher.cache"), "rb") as cache:
            self.assertEqual(sum(1 for _ in cache), MANY_ENTRIES)
        self.probe.act(f"click {harness.ID_EXIT}")
        self.assertEqual(self.wait_exit(process), 0)
        # The second start finds every file vouched for by the cache.
        process, state, cached_seconds = self.run_pass(timeout=MANY_ENTRIES_TIMEOUT)
        self.assertEnd(state, "Your game is up to date.", "Ready", count)
        list_size = os.path.getsize(os.path.join(server.root, "manifest.txt"))
        self.close_and_check(process, state, "50,000 current entries",
                             f"list of {MANY_ENTRIES} full entries, {list_size} bytes, all current",
                             cached_seconds, "all files untouched; one cache line per file",
                             first_pass_seconds=round(first_seconds, 1))

    def test_paths_at_the_length_limit(self):
        drive = os.path.join(self.session.paths.wineprefix, "dosdevices", SHORT_DRIVE)
        if os.path.lexists(drive):
            os.remove(drive)
        os.symlink(self.folder.site, drive)
        self.addCleanup(os.remove, drive)
        self.folder.launcher = SHORT_DRIVE.upper() + "\\game\\launcher.exe"
        at_limit = (b"long-" * 60)[:PATH_LIMIT - 4] + b".bin"
        over_limit = (b"long-" * 60)[:PATH_LIMIT - 3] + b".bin"
        self.assertEqual((len(at_limit), len(over_limit)), (PATH_LIMIT, PATH_LIMIT + 1))
        new = pattern(2000)
        server = self.start_server()
        server.serve(at_limit, new)
        server.serve(over_limit, new)
        server.publish([entry(at_limit, new), entry(over_limit, new)])
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass()
        self.assertEnd(state, "Update complete.", "Ready", "1 files checked.")
        self.assertEqual(self.folder.get(at_limit), new)
        self.assertFalse(os.path.exists(os.path.join(os.fsencode(self.folder.path), over_limit)))
        self.assertEqual([r["path"] for r in server.requests()][1:], [encoded(at_limit)])
        self.close_and_check(process, state, "paths of 240 and 241 bytes",
                             "a 240-byte path and a 241-byte path, game folder H:\\game\\", seconds,
                             "240-byte file fetched and verified; 241-byte entry dropped, never requested")

    def test_path_at_the_limit_in_a_deep_folder(self):
        path = (b"deep/" * 60)[:PATH_LIMIT - 4] + b".bin"
        new = pattern(2000)
        server = self.start_server()
        server.serve(path, new)
        server.publish([entry(path, new)])
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass()
        full = harness.windows_path(self.folder.path) + "\\" + path.decode().replace("/", "\\")
        self.assertGreater(len(full) + len(".part"), 259)
        # The ANSI file functions take 259 characters: the part file can't be made, and the pass
        # says so instead of placing anything.
        self.assertEnd(state, f"Download failed: can't write {full}.part"[:511], "Failed",
                       path.decode())
        self.assertEqual(server.hits(encoded(path)), 3)
        written = [os.path.join(d, f) for d, _, files in os.walk(self.folder.file("deep")) for f in files]
        self.assertEqual(written, [])
        self.close_and_check(process, state, "240-byte path in a deep game folder",
                             f"full path of {len(full)} characters, above the 259 of MAX_PATH",
                             seconds, "no file written; only the empty folders that fit were made")


class PathBytes(HostileCase):
    group = "server"

    def test_non_ascii_and_percent_signs_in_paths(self):
        good = "données/über 100%.bin".encode("utf-8")
        latin = b"caf\xe9/%41%25.bin"
        missing = b"%s%n%x 50%.bin"
        new = pattern(3000)
        server = self.start_server()
        server.serve(good, new)
        server.serve(latin, new[::-1])
        server.publish([entry(good, new), entry(latin, new[::-1]), entry(missing, new)])
        self.folder.write_ini(url=server.url)
        process, state, seconds = self.run_pass()
        self.assertEnd(state, "Download failed: HTTP 404", "Failed", missing.decode("latin-1"))
        # The files go on several connections at once, in any order.
        paths = [r["path"] for r in server.requests()][1:]
        # The Latin-1 name is no UTF-8: the launcher skips its line and never asks for it.
        self.assertEqual(sorted(paths), sorted([encoded(good)] + [encoded(missing)] * 3))
        self.assertEqual(encoded(good), "/donn%C3%A9es/%C3%BCber%20100%25.bin")
        # The launcher's code page is UTF-8: the name's part lands with exactly the listed bytes,
        # and waits there verified, since the pass failed.
        root = os.fsencode(self.folder.path)
        landed = {os.path.relpath(os.path.join(folder, name), root)
                  for folder, _, names in os.walk(root) for name in names if name.endswith(b".bin.part")}
        self.assertEqual(landed, {good + b".part"}, landed)
        with open(os.path.join(root, good + b".part"), "rb") as f:
            self.assertEqual(f.read(), new, "the file landed with other bytes")
        self.close_and_check(process, state, "non-ASCII and percent signs in paths",
                             "UTF-8 and Latin-1 bytes, %, %25 and %s%n in paths; the last one 404",
                             seconds, "the UTF-8 file fetched into its part under its byte name, the Latin-1 "
                             "line skipped; detail shows the path as listed",
                             part_of={good: new}, requests=paths,
                             landed=sorted(p.decode("utf-8") for p in landed))


if __name__ == "__main__":
    hostile.main()
