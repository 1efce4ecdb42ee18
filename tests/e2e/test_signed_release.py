"""Signed releases through the real window: lists that a server, a CDN or the network changed,
signed with another key, unsigned, garbled, rolled back or missing a SHA-256 apply nothing; a
file whose size and MD5 match while its SHA-256 does not is refused; a broken PublicKey or
BackupKey stops every pass; the key rotation and a backup key taking over; and a signed install,
update and launcher replacement from a real nginx,
published as objects."""
import base64
import hashlib
import os
import shutil
import tempfile
import time

import harness
import update_site
from harness import ID_EXIT, ID_START
from update_site import SiteTestCase, make_signing_key, sign_text, signed_list

REFUSED = "The update list failed its signature check."
BROKEN_KEY = "launcher.ini has a broken PublicKey= - can't check for updates."
WELCOME = "Welcome!"
RELEASE_FILE = "launcher.release"
KEYS_FILE = "launcher.keys"
# Long enough for a pass that would start to have sent its first request.
NO_PASS_SECONDS = 2.0


def pattern(size, seed):
    return bytes((i * 11 + seed) % 251 for i in range(size))


def write_files(root, files):
    for path, data in files.items():
        target = os.path.join(root, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as out:
            out.write(data)


def sha256_line(path, data):
    return b"H|%s|%s\n" % (hashlib.sha256(data).hexdigest().encode("ascii"), update_site.as_bytes(path))


class SignedSite(SiteTestCase):
    """The test server's folder is the release; the studio's key lives beside it."""

    def setUp(self):
        super().setUp()
        self.key = os.path.join(self.site, "studio.key")
        self.public = make_signing_key(self.session.paths, self.key)
        self.folder.write_ini(url=self.server.url, public_key=self.public)

    def sign(self, sequence, options=(), release=None, key=None, upload=None):
        return signed_list(self.session.paths, release or self.server.root, key or self.key, sequence, options,
                           upload)

    def serve_list(self, text):
        with open(os.path.join(self.server.root, "manifest.txt"), "wb") as out:
            out.write(text)

    def accepted_release(self):
        return self.read(RELEASE_FILE)

    def close_launcher(self, process):
        self.probe.act(f"click {ID_EXIT}")
        self.assertEqual(self.wait_exit(process), 0)


class RefusedLists(SignedSite):
    def test_lists_that_fail_the_check_apply_nothing(self):
        with open(self.session.paths.game, "rb") as f:
            game = f.read()
        self.folder.add_game("main.exe")
        first = os.path.join(self.site, "first")
        write_files(first, {"data/a.bin": b"first release"})
        write_files(self.server.root, {"data/a.bin": b"first release"})
        self.serve_list(self.sign(20, release=first))
        process, _ = self.launch()
        state = self.wait_pass_end()
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertEqual(self.accepted_release(), b"20\n")
        self.close_launcher(process)

        # What a tamperer starts from: the studio's next release, with news, another game
        # program, a deletion and a new file that an applied list would fetch.
        write_files(self.server.root, {"data/new.bin": pattern(5000, 1), "bin/play.exe": game})
        news = os.path.join(self.site, "news.txt")
        with open(news, "wb") as out:
            out.write(b"Patch 30 is out.\n")
        options = ("--news", news, "--run", "bin/play.exe", "--delete", "victim.dat")
        genuine = self.sign(30, options)
        signed, signature = genuine.split(b"Signature=")
        digest_at = genuine.index(b"H|") + 2
        other_digit = b"1" if genuine[digest_at:digest_at + 1] == b"0" else b"0"
        other_key = os.path.join(self.site, "other.key")
        make_signing_key(self.session.paths, other_key)
        without_hash = b"".join(line for line in signed.splitlines(keepends=True)
                                if not line.startswith(b"H|") or not line.endswith(b"|data/new.bin\n"))
        self.folder.write("victim.dat", b"must survive")
        cases = [
            ("a changed byte in a News line", genuine.replace(b"News=Patch 30", b"News=Patch 31"),
             "changed after signing, or signed with another key"),
            ("a changed byte in a digest", genuine[:digest_at] + other_digit + genuine[digest_at + 1:],
             "changed after signing, or signed with another key"),
            ("another key", self.sign(30, options, key=other_key),
             "changed after signing, or signed with another key"),
            ("no signature", signed, "no signature"),
            ("a line after the signature", genuine + b"Run=bin/play.exe\n", "the signature is not the last line"),
            ("bad base64", signed + b"Signature=" + signature[:40] + b"*" + signature[41:],
             "a garbled signature line"),
            ("63 bytes", signed + b"Signature=" + base64.b64encode(base64.b64decode(signature)[:63]) + b"\n",
             "a garbled signature line"),
            ("an older release", self.sign(10, options),
             "release 10 is older than release 20, which this game folder has already accepted"),
            ("an entry without its H| line", sign_text(self.key, without_hash), "no SHA-256 for data/new.bin"),
        ]
        for number, (case, text, reason) in enumerate(cases):
            self.serve_list(text)
            asked_before = len(self.server.requests())
            process, _ = self.launch()
            state = self.wait_pass_end()
            context = f"\ncase: {case}" + self.details()
            self.assertEqual(state["status"]["text"], REFUSED, context)
            self.assertEqual(state["detail"]["text"], reason, context)
            self.assertMode(state, "START anyway", True, True)
            self.assertEqual(state["info"]["text"], WELCOME, context)
            self.assertEqual(self.server.paths()[asked_before:], ["/manifest.txt"], context)
            self.assertEqual(self.read("victim.dat"), b"must survive", context)
            self.assertEqual([p for p in self.folder_contents() if p.endswith(b".part")], [], context)
            self.assertFalse(os.path.exists(self.folder.file("data/new.bin")), context)
            self.assertEqual(self.accepted_release(), b"20\n", context)
            if number + 1 < len(cases):
                self.close_launcher(process)
        # START runs the game program of the last accepted list, not the refused one's.
        self.probe.act(f"click {ID_START}")
        self.assertEqual(self.wait_exit(process), 0)
        record = harness.game_record(self.folder.file("game_record.txt"))
        self.assertEqual(record["cmdline"].lower(),
                         f'"{harness.windows_path(self.folder.file("main.exe"))}"'.lower(), record)

    def test_files_matching_size_and_md5_but_not_sha256_are_damaged(self):
        # What an MD5 collision looks like to the launcher: the size and MD5 of what the server
        # sends are the listed ones. The launcher's own replacement is checked the same way.
        with open(self.session.paths.launcher, "rb") as f:
            running = f.read()
        newer = running + b"\0" * 4096 + b"forged launcher"
        genuine = pattern(20000, 2)
        old = b"the old game file"
        write_files(self.server.root, {"data/a.bin": genuine, "launcher.exe": newer})
        listed = self.sign(5).split(b"Signature=")[0]
        forged = listed.replace(sha256_line("data/a.bin", genuine), sha256_line("data/a.bin", b"other bytes"))
        forged = forged.replace(sha256_line("launcher.exe", newer), sha256_line("launcher.exe", b"other"))
        self.assertNotIn(sha256_line("launcher.exe", newer), forged)
        self.serve_list(sign_text(self.key, forged))
        write_files(self.folder.path, {"data/a.bin": old})
        process, _ = self.launch()
        state = self.wait_pass_end(timeout=40)
        context = self.details()
        self.assertEqual(state["status"]["text"], "Download failed: file damaged on the way", context)
        self.assertEqual(state["detail"]["text"], "data/a.bin", context)
        self.assertMode(state, "START anyway", True, True)
        self.assertEqual(self.server.paths(), ["/manifest.txt"] + ["/launcher.exe"] * 3 + ["/data/a.bin"] * 3)
        self.assertEqual(self.server.sent("/data/a.bin"), [len(genuine)] * 3)
        self.assertEqual(self.read("data/a.bin"), old)
        self.assertEqual(self.read("launcher.exe"), running)
        contents = self.folder_contents()
        self.assertNotIn(b"Launcher.new.exe", contents)
        self.assertEqual([p for p in contents if p.endswith(b".part")], [], context)
        self.assertEqual(self.accepted_release(), b"5\n")
        self.close_launcher(process)


class ReleaseFloor(SignedSite):
    def test_a_garbled_record_or_an_install_floor_refuses_before_anything_is_applied(self):
        write_files(self.server.root, {"data/a.bin": b"release twenty"})
        news = os.path.join(self.site, "news.txt")
        with open(news, "wb") as out:
            out.write(b"Patch 20 is out.\n")
        self.serve_list(self.sign(20, ("--news", news)))
        cases = [
            # (what, launcher.release before, MinSequence, status, detail, requests)
            ("a record that is no number", b"2O\n", None, "launcher.release is damaged - can't check for updates.",
             "launcher.release: it holds no release number", 1),
            ("an empty record", b"", None, "launcher.release is damaged - can't check for updates.",
             "launcher.release: it holds no release number", 1),
            ("a release older than the installed one", None, "25", REFUSED,
             "release 20 is older than release 25, which this game was installed with", 1),
            ("a floor that is no number", None, "25x",
             "launcher.ini has a broken MinSequence= - can't check for updates.", "", 0),
        ]
        for case, record, floor, status, detail, requests in cases:
            path = self.folder.file(RELEASE_FILE)
            if os.path.exists(path):
                os.remove(path)
            if record is not None:
                self.folder.write(RELEASE_FILE, record)
            self.folder.write_ini(url=self.server.url, public_key=self.public, min_sequence=floor)
            asked_before = len(self.server.requests())
            process, _ = self.launch()
            if requests:
                state = self.wait_pass_end()
            else:
                time.sleep(NO_PASS_SECONDS)
                state = self.state()
            context = f"\ncase: {case}" + self.details()
            self.assertEqual(state["status"]["text"], status, context)
            self.assertEqual(state["detail"]["text"], detail, context)
            self.assertEqual(state["info"]["text"], WELCOME, context)
            self.assertEqual(len(self.server.requests()) - asked_before, requests, context)
            self.assertFalse(os.path.exists(self.folder.file("data/a.bin")), context)
            self.assertEqual(self.read(RELEASE_FILE) if os.path.exists(path) else None, record, context)
            self.close_launcher(process)
        # A floor below the release lets it in, and the record takes its number.
        self.folder.write_ini(url=self.server.url, public_key=self.public, min_sequence="15")
        process, _ = self.launch()
        state = self.wait_pass_end()
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertEqual(self.accepted_release(), b"20\n")
        self.close_launcher(process)


class KeyRotation(SignedSite):
    def pass_ends(self, text, status, detail=None):
        """Serves `text`, runs one pass and closes the launcher; the window's last state."""
        self.serve_list(text)
        process, _ = self.launch()
        state = self.wait_pass_end()
        context = self.details()
        self.assertEqual(state["status"]["text"], status, context)
        if detail is not None:
            self.assertEqual(state["detail"]["text"], detail, context)
        self.close_launcher(process)
        return state

    def release(self, sequence, key, options=()):
        """A release of one file named after it, signed with `key`."""
        shutil.rmtree(self.server.root)
        write_files(self.server.root, {"data/a.bin": b"release %d" % sequence})
        return self.sign(sequence, options, key=key)

    def key_record(self, current, next_key=None):
        record = f"Installed={self.public}\nCurrent={current}\n" + (f"Next={next_key}\n" if next_key else "")
        return record.encode("ascii")

    def test_a_rotation_moves_the_trust_to_the_next_key(self):
        next_key = os.path.join(self.site, "next.key")
        next_public = make_signing_key(self.session.paths, next_key)
        self.pass_ends(self.release(10, self.key, ("--next-key", next_key)), "Update complete.")
        self.assertEqual(self.read(KEYS_FILE), self.key_record(self.public, next_public))
        self.pass_ends(self.release(20, next_key), "Update complete.")
        self.assertEqual(self.read(KEYS_FILE), self.key_record(next_public))
        self.assertEqual(self.read("data/a.bin"), b"release 20")
        # The old key is retired: even a newer release signed with it is refused.
        self.pass_ends(self.release(30, self.key), REFUSED, "changed after signing, or signed with another key")
        self.assertEqual(self.read("data/a.bin"), b"release 20")
        self.assertEqual(self.accepted_release(), b"20\n")
        # A record that can't be read stops the pass before anything is believed.
        self.folder.write(KEYS_FILE, self.key_record(next_public)[:-10])
        self.pass_ends(self.release(40, next_key), "launcher.keys is damaged - can't check for updates.",
                       "launcher.keys: it holds no keys")
        self.assertEqual(self.read("data/a.bin"), b"release 20")
        self.assertEqual(self.accepted_release(), b"20\n")

    def test_the_backup_key_takes_over_from_a_stolen_key(self):
        backup = os.path.join(self.site, "backup.key")
        backup_public = make_signing_key(self.session.paths, backup)
        working = os.path.join(self.site, "working.key")
        working_public = make_signing_key(self.session.paths, working)
        self.folder.write_ini(url=self.server.url, public_key=self.public, backup_key=backup_public)
        self.pass_ends(self.release(10, self.key), "Update complete.")
        self.assertFalse(os.path.exists(self.folder.file(KEYS_FILE)))
        # A key change that can't be recorded is not applied: a folder where its temporary file goes.
        os.mkdir(self.folder.file(KEYS_FILE + ".tmp"))
        takeover = self.release(20, backup, ("--next-key", working))
        self.pass_ends(takeover, "launcher.keys can't be written - the update was not applied.",
                       "launcher.keys: can't be written")
        self.assertEqual((self.read("data/a.bin"), self.accepted_release()), (b"release 10", b"10\n"))
        os.rmdir(self.folder.file(KEYS_FILE + ".tmp"))
        self.pass_ends(takeover, "Update complete.")
        self.assertEqual(self.read(KEYS_FILE), self.key_record(backup_public, working_public))
        # What the thief signs is refused from now on, even naming the new working key.
        self.pass_ends(self.release(30, self.key, ("--next-key", working)), REFUSED,
                       "changed after signing, or signed with another key")
        self.pass_ends(self.release(40, working), "Update complete.")
        self.assertEqual(self.read(KEYS_FILE), self.key_record(working_public))
        self.assertEqual((self.read("data/a.bin"), self.accepted_release()), (b"release 40", b"40\n"))


class BrokenKey(SiteTestCase):
    def test_a_key_that_is_not_64_bytes_stops_every_pass(self):
        self.publish({"a.txt": b"a"})
        good = base64.b64encode(bytes(range(64))).decode("ascii")
        short = base64.b64encode(bytes(range(63))).decode("ascii")
        broken_backup = "launcher.ini has a broken BackupKey= - can't check for updates."
        for key, backup, status in ((short, None, BROKEN_KEY), ("not-a-key!", None, BROKEN_KEY),
                                    (good, short, broken_backup), (None, good, broken_backup)):
            self.folder.write_ini(url=self.server.url, public_key=key, backup_key=backup)
            process, _ = self.launch()
            time.sleep(NO_PASS_SECONDS)
            state = self.state()
            context = f"\nPublicKey={key} BackupKey={backup}" + self.details()
            self.assertEqual(state["status"]["text"], status, context)
            self.assertEqual(state["info"]["text"], WELCOME, context)
            self.assertMode(state, "START", True, False)
            self.assertEqual(self.server.requests(), [], context)
            self.probe.act(f"click {ID_EXIT}")
            self.assertEqual(self.wait_exit(process), 0)
        self.assertFalse(os.path.exists(self.folder.file("a.txt")))


class SignedFromNginx(SignedSite):
    @staticmethod
    def access_paths(nginx):
        """The paths nginx was asked for, in order, without their queries."""
        return [line.split('"')[1].split()[1].split("?")[0] for line in nginx.access_log().splitlines()]

    def publish_release(self, files, sequence, options=()):
        """The release's files in a folder of their own; nginx serves the upload folder."""
        files_folder = self.release + ".files"
        shutil.rmtree(files_folder, ignore_errors=True)
        write_files(files_folder, files)
        os.makedirs(self.release, exist_ok=True)
        self.sign(sequence, options, release=files_folder, upload=self.release)

    @staticmethod
    def object_path(data):
        return "/launcher.objects/%s-%d" % (update_site.md5_text(data), len(data))

    def test_signed_install_update_and_launcher_replacement(self):
        site = tempfile.mkdtemp(prefix="nginx-", dir=self.session.work)
        self.release = os.path.join(site, "release")
        with open(self.session.paths.launcher, "rb") as f:
            running = f.read()
        news = os.path.join(site, "news.txt")
        with open(news, "wb") as out:
            out.write(b"Release 100 is signed.\n")
        install = {"launcher.exe": running, "readme.txt": b"Welcome to Tavrin.\r\n" * 20,
                   "data/world.bin": pattern(300 * 1024, 3), "data/old.bin": b"soon gone"}
        self.publish_release(install, 100, ("--news", news))
        nginx = update_site.Nginx(os.path.join(site, "nginx"), self.release)
        self.addCleanup(nginx.close)
        self.folder.write_ini(url=nginx.url, public_key=self.public)
        process, _ = self.launch()
        state = self.wait_pass_end()
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertEqual(state["detail"]["text"], "4 files checked.", self.details())
        self.assertEqual(state["info"]["text"], "Release 100 is signed.", self.details())
        self.assertFilesAre(install)
        self.assertEqual(self.accepted_release(), b"100\n")
        self.close_launcher(process)

        # A changed file, a new one and a deleted one: only the first two are fetched.
        update = dict(install, **{"data/world.bin": pattern(300 * 1024, 4), "data/new.bin": b"new in 200"})
        del update["data/old.bin"]
        self.publish_release(update, 200, ("--delete", "data/old.bin"))
        process, _ = self.launch()
        state = self.wait_pass_end()
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertEqual(state["detail"]["text"], "4 files checked.", self.details())
        self.assertFilesAre(update)
        self.assertFalse(os.path.exists(self.folder.file("data/old.bin")))
        self.assertEqual(self.accepted_release(), b"200\n")
        fetched = self.access_paths(nginx)
        self.assertEqual(sorted(fetched[fetched.index("/manifest.txt", 1):]),
                         sorted([self.object_path(b"new in 200"), self.object_path(update["data/world.bin"]),
                                 "/manifest.txt"]))
        self.close_launcher(process)

        # The launcher's replacement: the old one fetches its successor, swaps, starts it and
        # ends; the new one checks the same signed list and finds everything current. On
        # loopback the old window may be gone before anyone saw it.
        newer = running + b"\0" * 4096 + b"Tavrin launcher, signed build"
        self.publish_release(dict(update, **{"launcher.exe": newer}), 300)
        asked_before = len(self.access_paths(nginx))
        process = self.start_launcher()
        self.assertEqual(self.wait_exit(process, timeout=30), 0)
        state = self.wait_pass_end()
        self.assertEqual(state["status"]["text"], "Your game is up to date.", self.details())
        self.assertEqual(self.read("launcher.exe"), newer)
        self.assertEqual(self.accepted_release(), b"300\n")
        contents = self.folder_contents()
        self.assertNotIn(b"Launcher.new.exe", contents)
        self.assertEqual([p for p in contents if p.endswith(b".part")], [])
        self.assertEqual(self.access_paths(nginx)[asked_before:], ["/manifest.txt", self.object_path(newer),
                                                                   "/manifest.txt"])
        # An object's name changes with its bytes: it is asked for with no query.
        self.assertIn(f'"GET {self.object_path(newer)} HTTP/1.1" 200 ', nginx.access_log())
        with open(os.path.join(self.release, "launcher.exe"), "rb") as f:
            self.assertEqual(f.read(), newer, "launchers from before objects fetch it at its path")


if __name__ == "__main__":
    harness.main()
