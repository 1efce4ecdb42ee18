"""Delta updates through the real window: releases published by make_manifest with their block
maps; an install and then an update that fetches only the ranges that changed; a missing map, a
server that ignores ranges and a map that is not the one a signed list names, each falling back to
the whole file in silence; and a signed delta. nginx answers a delta's ranges in
the HTTPS suite."""
import os
import random
import re
import time

import harness
import update_site
from update_site import SiteTestCase, make_signing_key

BIG = "data/world.pak"
BIG_SIZE = 6 * 1024 * 1024
BLOCK = 4096


def random_bytes(size, seed):
    state = seed * 2654435761 + 1
    out = bytearray(size)
    for i in range(0, size, 4):
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        out[i:i + 4] = state.to_bytes(4, "little")[:size - i]
    return bytes(out)


def changed(old, seed):
    """The next release of a big file: a few kilobytes changed in three places, and 4 KiB put in
    near its start, so that the rest of the file moves."""
    new = bytearray(old[:10_000] + random_bytes(BLOCK, seed) + old[10_000:])
    for at in (1_500_000, 3_000_000, 5_000_000):
        new[at:at + 2000] = random_bytes(2000, seed + at)
    return bytes(new)


class DeltaSite(SiteTestCase):
    """The test server's folder is the release folder make_manifest publishes, maps and all, with
    the files at their paths: the suite that keeps that layout tested."""

    def put_old_copy(self, path, data):
        os.makedirs(os.path.dirname(self.folder.file(path)), exist_ok=True)
        self.folder.write(path, data)

    def make_release(self, files, *options, root=None):
        return update_site.publish_release(self.session.paths, root or self.server.root, files, options,
                                           objects=False)

    def map_path(self, data):
        return os.path.join(self.server.root, "launcher.maps", update_site.md5_text(data) + ".map")

    def run_pass(self, timeout=60):
        process, _ = self.launch()
        state = self.wait_pass_end(timeout)
        return process, state

    def close(self, process):
        self.probe.act(f"click {harness.ID_EXIT}")
        self.assertEqual(self.wait_exit(process), 0)

    def big_requests(self):
        return [r for r in self.server.requests() if r["path"] == "/" + BIG]

    def install(self, files):
        self.make_release(files)
        process, state = self.run_pass()
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.close(process)


class Updates(DeltaSite):
    def test_an_update_fetches_the_map_and_only_the_changed_ranges(self):
        old = random_bytes(BIG_SIZE, 1)
        self.install({BIG: old, "readme.txt": b"first"})
        new = changed(old, 2)
        listed = self.make_release({BIG: new, "readme.txt": b"first"})
        self.assertIn(b"M|", listed)
        asked_before = len(self.server.requests())
        # Slow enough to see the detail line tell what was fetched of the file.
        self.server.rules({"/" + BIG: {"rate": 20_000}})
        process, _ = self.launch()
        state = self.wait_for(lambda s: s is not None and "fetched" in s["detail"]["text"] or s["start"]["enabled"],
                              60, "the rebuild's detail line")
        self.assertRegex(state["detail"]["text"], r"^data/world\.pak  -  fetched \d+ KB of 6\.0 MB  \(\d+ KB/s\)$")
        state = self.wait_pass_end(60)
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertFilesAre({BIG: new, "readme.txt": b"first"})
        requests = [r for r in self.server.requests()[asked_before:] if r["path"] == "/" + BIG]
        self.assertTrue(requests and all(re.fullmatch(r"bytes=\d+-\d+", r["range"]) for r in requests), requests)
        fetched = sum(self.server.sent("/" + BIG)[-len(requests):])
        map_size = os.path.getsize(self.map_path(new))
        # Three changes and the insert, each at most a few blocks either side, and nothing else.
        self.assertLessEqual(fetched, 4 * 4 * BLOCK + 3 * 2000 + BLOCK, self.details())
        self.assertEqual(self.server.paths()[asked_before:].count("/launcher.maps/" + os.path.basename(self.map_path(new))), 1)
        print(f"delta of a {BIG_SIZE} byte file: {fetched} bytes of ranges and a {map_size} byte map", flush=True)
        self.close(process)

    def test_a_padded_archive_refilled_around_a_block_of_blanks_is_rebuilt_in_seconds(self):
        # The old archive was mostly zero padding; the new release fills it with new bytes that
        # hold one block of blanks, whose weak sum is the zero block's. A second file makes the
        # pass share out its connections, as a release does.
        mib = 1024 * 1024
        head, tail = random_bytes(mib, 21), random_bytes(mib, 22)
        filled = bytearray(random.Random(23).randbytes(62 * mib))
        filled[30 * mib:30 * mib + BLOCK] = b" " * BLOCK
        new = head + bytes(filled) + tail
        self.put_old_copy(BIG, head + bytes(62 * mib) + tail)
        self.folder.write("readme.txt", b"first")
        self.make_release({BIG: new, "readme.txt": b"second"})
        started = time.monotonic()
        process, _ = self.launch()
        # Before the search had a bound this took about 6 minutes; a whole download about a second.
        # The search itself passes the zeros in a moment, too soon for the window to be watched
        # showing it: the pass's own tests read its detail text.
        state = self.wait_pass_end(60)
        seconds = time.monotonic() - started
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertFilesAre({BIG: new, "readme.txt": b"second"})
        # Only the new bytes come from the server: the head and the tail are found.
        self.assertLessEqual(sum(self.server.sent("/" + BIG)), len(filled) + 8 * BLOCK, self.details())
        print(f"padded archive of 64 MiB refilled: pass ended in {seconds:.1f} s", flush=True)
        self.close(process)

    def test_what_is_not_as_it_should_be_falls_back_to_the_whole_file_in_silence(self):
        # One fault on the map's side and one on the server's: the rebuild's own tests go through
        # every cause; here the pass takes its verdict.
        current = random_bytes(BIG_SIZE, 3)
        self.install({BIG: current})
        for seed, case in enumerate(("missing map", "server ignores ranges"), 11):
            new = changed(current, seed)
            current = new
            self.make_release({BIG: new})
            rules = {}
            if case == "missing map":
                os.remove(self.map_path(new))
            else:
                rules = {"/" + BIG: {"no_range": True}}
            self.server.rules(rules)
            asked_before = len(self.big_requests())
            process, state = self.run_pass()
            context = f"\ncase: {case}" + self.details()
            self.assertEqual(state["status"]["text"], "Update complete.", context)
            self.assertMode(state, "START", True, False)
            self.assertFilesAre({BIG: new})
            # One whole download after whatever the rebuild asked for.
            self.assertEqual(self.big_requests()[-1]["range"], "", context)
            self.assertLessEqual(len(self.big_requests()) - asked_before, 2, context)
            self.close(process)


class SignedDelta(DeltaSite):
    def test_a_signed_delta_uses_only_the_maps_the_list_names(self):
        key = os.path.join(self.site, "studio.key")
        public = make_signing_key(self.session.paths, key)
        self.folder.write_ini(url=self.server.url, public_key=public)
        old = random_bytes(BIG_SIZE, 5)
        self.make_release({BIG: old}, "--sign-key", key, "--sequence", "1")
        process, state = self.run_pass()
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.close(process)

        new = changed(old, 6)
        self.make_release({BIG: new}, "--sign-key", key, "--sequence", "2")
        process, state = self.run_pass()
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertFilesAre({BIG: new})
        self.assertTrue(all(r["range"] for r in self.big_requests()[1:]), self.big_requests())
        self.close(process)

        # A map changed on the server after signing is not the one the list names: whole file.
        newer = changed(new, 7)
        self.make_release({BIG: newer}, "--sign-key", key, "--sequence", "3")
        with open(self.map_path(newer), "r+b") as f:
            f.seek(200)
            f.write(b"\x00\x01\x02")
        process, state = self.run_pass()
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertFilesAre({BIG: newer})
        self.assertEqual(self.big_requests()[-1]["range"], "")
        self.assertEqual(sum(1 for r in self.big_requests() if r["range"] == ""), 2)
        self.close(process)


if __name__ == "__main__":
    harness.main()
