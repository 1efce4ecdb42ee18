"""The launcher's window as a player meets it: start-up and configuration, the single instance,
the three buttons and the close paths, message boxes, and what the window paints."""
import os
import re
import time

import harness
from harness import (CONNECTING_STATUS, DEFAULT_TITLE, ID_EXIT, ID_RETRY, ID_START, NO_URL_STATUS,
                     LauncherTestCase)

BACKGROUND = (16, 16, 20)
BAND = (40, 28, 10)
TITLE = (255, 204, 26)
STATUS_TEXT = (255, 210, 90)
BAND_HEIGHT = 56
CLIENT_SIZE = (520, 360)
# The title is drawn into x 20 .. width - 20, y 12 .. 50 of the client area.
TITLE_AREA = (20, 12, 500, 50)
STATUS_AREA = (20, 236, 500, 256)
# Twenty 100 ms waits for the mutex before a second launcher gives up.
SECOND_START_WAIT = 2.0


def game_record(folder):
    return harness.game_record(folder.file("game_record.txt"))


class StartUp(LauncherTestCase):
    def test_no_url_shows_why_and_enables_start(self):
        self.folder.write_ini(title="Tavrin Test")
        _, state = self.launch()
        context = self.details()
        self.assertEqual(state["caption"], "Tavrin Test", context)
        self.assertEqual(state["status"]["text"], NO_URL_STATUS, context)
        self.assertEqual(state["info"]["text"], "Welcome!", context)
        self.assertEqual(state["detail"]["text"], "", context)
        self.assertEqual((state["progress"]["min"], state["progress"]["max"], state["progress"]["pos"]),
                         (0, 1000, 0), context)
        self.assertMode(state, "START", True, False)
        self.assertEqual((state["client"]["width"], state["client"]["height"]), CLIENT_SIZE, context)
        self.assertIsNone(state["box"], context)
        # No control may take the focus from the window at start-up, and START stays the default.
        self.assertNotIn(state["focus"], ("start", "retry", "exit"), context)
        self.assertTrue(state["start"]["style"] & 0x1, "START lost BS_DEFPUSHBUTTON" + context)

    def test_missing_ini_gives_default_title_and_no_server(self):
        _, state = self.launch()
        self.assertEqual(state["caption"], DEFAULT_TITLE, self.details())
        self.assertEqual(state["status"]["text"], NO_URL_STATUS, self.details())
        self.assertMode(state, "START", True, False)

    def test_empty_url_and_missing_title_give_the_defaults(self):
        self.folder.write_ini(url="")
        _, state = self.launch()
        self.assertEqual(state["caption"], DEFAULT_TITLE, self.details())
        self.assertEqual(state["status"]["text"], NO_URL_STATUS, self.details())

    def test_garbage_ini_gives_the_defaults(self):
        # Fixed pseudo-random bytes without a byte order mark, with NULs and stray brackets.
        garbage = bytes((i * 151 + 7) % 251 for i in range(4096)).replace(b"\xff", b"[")
        self.folder.write("launcher.ini", garbage)
        process, state = self.launch()
        self.assertEqual(state["caption"], DEFAULT_TITLE, self.details())
        self.assertEqual(state["status"]["text"], NO_URL_STATUS, self.details())
        self.assertMode(state, "START", True, False)
        self.assertIsNone(process.poll(), self.details())


class SingleInstance(LauncherTestCase):
    def test_second_launcher_gives_way_and_raises_the_first(self):
        first, _ = self.launch()
        holder = self.probe.act("take-foreground")
        state = self.wait_for(lambda s: not s["foreground"], 5, "the launcher to lose the foreground")
        self.assertTrue(holder["foreground"], self.details())
        began = time.monotonic()
        second = self.start_launcher()
        while second.poll() is None:
            windows = self.probe.ask("count")["windows"]
            self.assertLessEqual(windows, 1, "the second launcher showed a window" + self.details())
            if time.monotonic() - began > 15:
                self.fail("the second launcher did not give up" + self.details())
            time.sleep(harness.POLL_SECONDS)
        took = time.monotonic() - began
        self.assertEqual(second.returncode, 0)
        self.assertGreaterEqual(took, SECOND_START_WAIT * 0.9, "the second launcher gave up too early")
        self.assertLess(took, SECOND_START_WAIT + 8, "the second launcher waited far too long")
        state = self.wait_for(lambda s: s["foreground"], 5, "the first launcher to come to the front")
        self.assertIsNone(first.poll(), self.details())
        self.assertEqual(state["status"]["text"], NO_URL_STATUS, self.details())

    def test_second_launcher_started_while_the_first_closes_starts_normally(self):
        first, state = self.launch()
        first_pid = state["pid"]
        second = self.start_launcher()
        # Long enough for the second one to be inside its 2 s of attempts, short of their end.
        time.sleep(0.8)
        self.assertIsNone(second.poll(), "the second launcher gave up while the first still ran")
        self.probe.act(f"click {ID_EXIT}")
        self.assertEqual(self.wait_exit(first), 0)
        # The status text comes just after the window is shown: wait for start-up to finish.
        state = self.wait_for(lambda s: s is not None and s["pid"] != first_pid and s["status"]["text"] != "", 10,
                              "the second launcher's window")
        self.assertEqual(state["status"]["text"], NO_URL_STATUS, self.details())
        self.screenshot("second")
        self.probe.act(f"click {ID_EXIT}")
        self.assertEqual(self.wait_exit(second), 0)


class Closing(LauncherTestCase):
    def test_exit_without_a_pass_ends_with_code_0(self):
        process, _ = self.launch()
        self.probe.act(f"click {ID_EXIT}")
        self.assertEqual(self.wait_exit(process), 0)

    def test_close_box_without_a_pass_ends_with_code_0(self):
        process, _ = self.launch()
        self.probe.act("close")
        self.assertEqual(self.wait_exit(process), 0)

    def test_commands_act_by_id_alone(self):
        process, before = self.launch()
        for unknown in (0, 100, 104, 1000, 65535):
            self.probe.act(f"command {unknown}")
        # Posted messages are handled in order: once START's box is up, the others are done.
        self.probe.act(f"command {ID_START} 1")
        state = self.wait_box()
        self.assertTrue(state["box"]["text"].startswith("Can't find main.exe"), self.details())
        self.assertEqual(state["status"], before["status"], self.details())
        self.assertMode(state, "START", True, False)
        self.probe.act("answer ok")
        self.wait_no_box()
        # A notification code other than a click still counts as EXIT.
        self.probe.act(f"command {ID_EXIT} 5")
        self.assertEqual(self.wait_exit(process), 0)

    def test_close_during_a_pass_asks_first(self):
        server = harness.LoopbackServer([harness.HOLD])
        self.addCleanup(server.close)
        self.folder.write_ini(url=server.url)
        process, _ = self.launch()
        self.wait_for(lambda s: server.request_count() == 1, 15, "the pass to ask for the update list")
        state = self.state()
        self.assertMode(state, "START", False, False)
        self.assertEqual(state["status"]["text"], CONNECTING_STATUS, self.details())
        self.probe.act("close")
        state = self.wait_box()
        box = state["box"]
        self.assertEqual(box["text"], "The update is not finished. Close anyway?", self.details())
        self.assertEqual(box["caption"], DEFAULT_TITLE, self.details())
        self.assertEqual([b["id"] for b in box["buttons"]], [6, 7], self.details())
        self.assertEqual(self.box_icon(state), "question", self.details())
        self.probe.act("answer no")
        state = self.wait_no_box()
        self.assertIsNone(process.poll(), self.details())
        self.assertMode(state, "START", False, False)
        self.probe.act(f"click {ID_EXIT}")
        self.wait_box()
        self.probe.act("answer yes")
        # The worker still waits on the server: the launcher must not wait for it.
        self.assertEqual(self.wait_exit(process, timeout=5), 0)


    def test_a_pass_that_ends_under_the_question_changes_the_buttons_and_yes_still_closes(self):
        server = harness.LoopbackServer([harness.HOLD, 500])
        self.addCleanup(server.close)
        self.folder.write_ini(url=server.url)
        process, _ = self.launch()
        self.wait_for(lambda s: server.request_count() == 1, 15, "the pass to ask for the update list")
        self.probe.act(f"click {ID_EXIT}")
        self.wait_box()
        server.release()
        state = self.wait_for(lambda s: s["start"]["enabled"], 15, "the pass to end under the question")
        self.assertIsNotNone(state["box"], "the question went away by itself" + self.details())
        self.assertMode(state, "START anyway", True, True)
        self.screenshot("ended-under-question")
        self.probe.act("answer yes")
        self.assertEqual(self.wait_exit(process), 0)


class Passes(LauncherTestCase):
    def test_failed_pass_offers_start_anyway_and_retry_runs_a_new_pass(self):
        server = harness.LoopbackServer([500, harness.HOLD])
        self.addCleanup(server.close)
        self.folder.write_ini(url=server.url[:-1])
        process, _ = self.launch()
        state = self.wait_for(lambda s: s["start"]["enabled"], 15, "the first pass to end")
        self.assertMode(state, "START anyway", True, True)
        self.assertEqual(state["status"]["text"], "Can't reach the update server (HTTP 500).", self.details())
        self.assertEqual(state["detail"]["text"], "You can still START with the files you have, or try again.")
        self.assertNotIn(state["focus"], ("start", "retry"), "a failed pass moved the focus" + self.details())
        self.assertRegex(server.requests[0], r"^GET /manifest\.txt\?t=\d+ HTTP/1\.1$")

        self.probe.act(f"click {ID_RETRY}")
        self.wait_for(lambda s: server.request_count() == 2, 15, "the second pass to ask")
        state = self.state()
        self.assertMode(state, "START", False, False)
        self.assertEqual(state["status"]["text"], CONNECTING_STATUS, self.details())
        self.assertEqual(state["detail"]["text"], "", self.details())
        # A RETRY that arrives while a pass runs starts no second one and changes no button.
        self.probe.act(f"command {ID_RETRY}")
        # Nothing to wait for when nothing happens: a second worker would have asked by then.
        time.sleep(0.5)
        state = self.state()
        self.assertEqual(server.request_count(), 2, server.requests)
        self.assertMode(state, "START", False, False)
        self.assertIsNone(process.poll(), self.details())

    def test_start_anyway_runs_the_game(self):
        self.folder.write_ini(url=f"http://127.0.0.1:{harness.closed_port()}/")
        self.folder.add_game()
        process, _ = self.launch()
        self.wait_for(lambda s: s["start"]["enabled"], 30, "the pass to end")
        self.probe.act(f"click {ID_START}")
        self.assertEqual(self.wait_exit(process), 0)
        self.assertEqual(game_record(self.folder)["argc"], "1")

    def test_long_title_and_url_are_cut_not_fatal(self):
        server = harness.LoopbackServer([404])
        self.addCleanup(server.close)
        # Characters of one to four bytes in UTF-8: the title keeps its first 63 whole.
        title = "".join(("A", "Ж", "日", "\U0001F600")[i % 4] + chr(ord("a") + i % 26) for i in range(150))
        url = server.url + "u" * 3000
        self.folder.write_ini(url=url, title=title)
        process, _ = self.launch()
        state = self.wait_for(lambda s: s["start"]["enabled"], 15, "the pass to end")
        self.assertEqual(state["caption"], title[:63], self.details())
        self.assertMode(state, "START anyway", True, True)
        self.assertIsNone(process.poll(), self.details())
        # The address is cut to 511 characters and still gets its "/".
        path = url[:511][len(server.url) - 1:] + "/manifest.txt?t="
        self.assertTrue(server.requests and server.requests[0].startswith(f"GET {path}"), server.requests)


class GameStart(LauncherTestCase):
    def test_start_without_the_game_warns_and_stays(self):
        process, before = self.launch()
        self.probe.act(f"click {ID_START}")
        state = self.wait_box()
        box = state["box"]
        self.assertEqual(box["text"], "Can't find main.exe. Press RETRY to download the game files.",
                         self.details())
        self.assertEqual(box["caption"], DEFAULT_TITLE, self.details())
        self.assertEqual([b["id"] for b in box["buttons"]], [1], self.details())
        self.assertEqual(self.box_icon(state), "warning", self.details())
        self.screenshot("warning")
        self.probe.act("answer ok")
        state = self.wait_no_box()
        self.assertIsNone(process.poll(), self.details())
        self.assertMode(state, "START", True, False)
        self.assertEqual(state["status"], before["status"], self.details())

    def test_start_of_a_folder_reports_the_system_error(self):
        os.mkdir(self.folder.file("main.exe"))
        process, _ = self.launch()
        self.probe.act(f"click {ID_START}")
        state = self.wait_box()
        box = state["box"]
        match = re.fullmatch(r"Can't start main\.exe \(error (\d+)\)\.", box["text"])
        self.assertIsNotNone(match, self.details())
        self.assertNotEqual(int(match.group(1)), 0, self.details())
        self.assertEqual(box["caption"], DEFAULT_TITLE, self.details())
        self.assertEqual(self.box_icon(state), "error", self.details())
        self.screenshot("error")
        self.probe.act("answer ok")
        self.wait_no_box()
        self.assertIsNone(process.poll(), self.details())

    def test_start_runs_the_game_in_the_launcher_folder_without_arguments(self):
        self.folder.add_game()
        # Started from elsewhere, so that the game's working directory proves where it came from.
        process, _ = self.launch(cwd=self.session.paths.artifacts)
        self.probe.act(f"click {ID_START}")
        self.assertEqual(self.wait_exit(process), 0)
        self.assertIsNone(self.state(), "the window outlived the launcher")
        record = game_record(self.folder)
        game_path = harness.windows_path(self.folder.file("main.exe"))
        self.assertEqual(record["cmdline"].lower(), f'"{game_path}"'.lower(), record)
        self.assertEqual(record["argc"], "1", record)
        self.assertEqual(record["cwd"].rstrip("\\").lower(), harness.windows_path(self.folder.path).lower(),
                         record)


class Painting(LauncherTestCase):
    def painted(self, background_spot):
        return lambda picture: picture.pixel(*background_spot) != (0, 0, 0)

    def assert_fallback(self, picture):
        width, height = picture.width, picture.height
        self.assertEqual((width, height), CLIENT_SIZE)
        for x in (0, 10, width // 2, width - 1):
            self.assertEqual(picture.pixel(x, 0), BAND, f"band at x {x}")
            self.assertEqual(picture.pixel(x, BAND_HEIGHT - 1), BAND, f"band bottom at x {x}")
            self.assertEqual(picture.pixel(x, BAND_HEIGHT), BACKGROUND, f"below the band at x {x}")
            self.assertEqual(picture.pixel(x, height - 1), BACKGROUND, f"bottom edge at x {x}")
        for spot in ((5, 150), (width - 5, 150), (10, 305), (width // 2, 230)):
            self.assertEqual(picture.pixel(*spot), BACKGROUND, f"background at {spot}")
        self.assertGreater(picture.count(TITLE, *TITLE_AREA), 100, "title pixels in the band")
        self.assertEqual(picture.count(TITLE, 0, BAND_HEIGHT, width, height), 0, "title colour below the band")
        self.assertGreater(picture.count(STATUS_TEXT, *STATUS_AREA), 20, "status text pixels")

    def test_without_a_bitmap_the_window_paints_band_and_title(self):
        self.launch()
        picture = self.client_picture("client", self.painted((5, 150)))
        self.assert_fallback(picture)

    def test_a_file_that_is_no_bitmap_gives_the_painted_fallback_silently(self):
        self.folder.write("launcher.bmp", b"BM" + bytes(range(256)) * 8)
        _, state = self.launch()
        self.assertIsNone(state["box"], self.details())
        picture = self.client_picture("client", self.painted((5, 150)))
        self.assert_fallback(picture)
        self.assertIsNone(self.state()["box"], self.details())

    def test_a_title_too_long_for_the_band_is_clipped_at_its_right_edge(self):
        self.folder.write_ini(title="W" * 63)
        self.launch()
        picture = self.client_picture("client", self.painted((5, 150)))
        right = CLIENT_SIZE[0] - 20
        self.assertGreater(picture.count(TITLE, right - 20, 0, right, BAND_HEIGHT), 0, "title reaches the edge")
        self.assertEqual(picture.count(TITLE, right, 0, CLIENT_SIZE[0], BAND_HEIGHT), 0, "title past the edge")
        self.assertEqual(picture.count(TITLE, 0, 0, CLIENT_SIZE[0], TITLE_AREA[1]), 0, "title above its line")

    def test_a_bitmap_of_another_size_is_stretched_over_the_client_area(self):
        quadrants = {(0, 0): (200, 40, 40), (1, 0): (40, 200, 40), (0, 1): (40, 40, 200),
                     (1, 1): (220, 220, 60)}
        width, height = 130, 90
        harness.write_bmp(self.folder.file("launcher.bmp"), width, height,
                          lambda x, y: quadrants[(x * 2 // width, y * 2 // height)])
        self.launch()
        picture = self.client_picture("client", self.painted((5, 150)))
        cw, ch = CLIENT_SIZE
        self.assertEqual((picture.width, picture.height), CLIENT_SIZE)
        # Corners and spots clear of the controls' dark panels and of the title.
        spots = {(0, 0): (0, 0), (cw - 1, 0): (1, 0), (0, ch - 1): (0, 1), (cw - 1, ch - 1): (1, 1),
                 (8, 100): (0, 0), (cw - 8, 100): (1, 0), (8, 300): (0, 1), (cw - 8, 300): (1, 1),
                 (cw // 2 - 10, 60): (0, 0), (cw // 2 + 10, 60): (1, 0)}
        for spot, quadrant in spots.items():
            self.assertEqual(picture.pixel(*spot), quadrants[quadrant], f"bitmap at {spot}")
        # Where the halves meet shows the stretch: at the middle of the client area, not at the
        # bitmap's own middle (65, 45).
        row = [picture.pixel(x, 60) for x in range(cw)]
        edge = next(x for x in range(cw) if row[x] != quadrants[(0, 0)])
        self.assertLess(abs(edge - cw // 2), 4, f"vertical edge at x {edge}")
        column = [picture.pixel(8, y) for y in range(ch)]
        edge = next(y for y in range(ch) if column[y] != quadrants[(0, 0)])
        self.assertLess(abs(edge - ch // 2), 4, f"horizontal edge at y {edge}")
        self.assertGreater(picture.count(TITLE, *TITLE_AREA), 100, "title drawn over the bitmap")
        # The static controls show as dark panels over the picture.
        self.assertEqual(picture.pixel(cw // 2, 150), BACKGROUND, "info text panel")


if __name__ == "__main__":
    harness.main()
