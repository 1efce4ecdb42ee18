#!/usr/bin/env python3
"""make_manifest as a studio runs it: on temporary release folders, checking its output, its
messages on stderr and its exit codes; verify against releases published on the fault-injecting
test server and on nginx."""
import base64
import hashlib
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import update_site  # noqa: E402

TOOL = None


def run(*args):
    return subprocess.run([TOOL, *args], capture_output=True)


def md5(data):
    return hashlib.md5(data).hexdigest()


def der_integer(value):
    body = value.lstrip(b"\0") or b"\0"
    if body[0] & 0x80:
        body = b"\0" + body
    return b"\x02" + bytes([len(body)]) + body


def openssl_verifies(folder, public_line, signed, signature_rs):
    """openssl's own verdict on r||s over `signed` under the launcher.ini line's X||Y."""
    xy = base64.b64decode(public_line[len(b"PublicKey="):], validate=True)
    # SubjectPublicKeyInfo of a P-256 point: the fixed DER head, then 0x04, X and Y.
    head = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d030107034200")
    pem = b"-----BEGIN PUBLIC KEY-----\n" + base64.encodebytes(head + b"\x04" + xy) + b"-----END PUBLIC KEY-----\n"
    body = der_integer(signature_rs[:32]) + der_integer(signature_rs[32:])
    files = {"key.pem": pem, "signature.der": b"\x30" + bytes([len(body)]) + body, "signed.txt": signed}
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    result = subprocess.run(["openssl", "dgst", "-sha256", "-verify", "key.pem", "-signature", "signature.der",
                             "signed.txt"], cwd=folder, capture_output=True)
    return result.returncode == 0 and result.stdout == b"Verified OK\n"


class ReleaseFolder(unittest.TestCase):
    def setUp(self):
        scratch = os.environ.get("TOOLS_TEST_TMP")
        if scratch:
            os.makedirs(scratch, exist_ok=True)
        self.temp = tempfile.TemporaryDirectory(dir=scratch)
        self.root = os.path.join(self.temp.name, "release")
        self.files = {
            "main.exe": b"MZ game",
            "data/maps/m1.map": b"map" * 1000,
            "data/café.txt".encode("utf-8"): b"",
            "options.cfg": b"volume=5\n",
        }
        for path, data in self.files.items():
            self.write(path, data)

    def tearDown(self):
        self.temp.cleanup()

    def write(self, path, data):
        full = os.path.join(os.fsencode(self.root), os.fsencode(path))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)


class Publishing(ReleaseFolder):
    def test_lists_every_game_file_sorted_and_leaves_out_the_launcher_files(self):
        for runtime in ["launcher.ini", "launcher.cache", "Launcher.new.exe", "Launcher.old.exe",
                        "data/maps/m2.map.part"]:
            self.write(runtime, b"x")
        news = os.path.join(self.temp.name, "news.txt")
        with open(news, "wb") as f:
            f.write(b"Patch 2 is out.\r\n\r\nEnjoy!  \r\n")
        result = run(self.root, "--at-paths", "--version", "2", "--news", news, "--run", "main.exe",
                     "--delete", "old/intro.avi", "--keep", "*.cfg")
        self.assertEqual(result.returncode, 0, result.stderr)
        expected = (b"Version=2\nNews=Patch 2 is out.\nNews=\nNews=Enjoy!\nRun=main.exe\n"
                    b"Delete=old/intro.avi\n")
        for path in sorted(p if isinstance(p, bytes) else p.encode() for p in self.files):
            data = self.files[path] if path in self.files else self.files[path.decode()]
            kind = b"K" if path.endswith(b".cfg") else b"F"
            expected += b"%s|%s|%d|%s\n" % (kind, md5(data).encode(), len(data), path)
        self.assertEqual(result.stdout, expected)
        stderr = result.stderr.decode("latin-1")
        self.assertEqual(stderr.count("the launcher writes itself"), 1, stderr)
        self.assertIn("Launcher.new.exe", stderr)
        self.assertIn("hashed 4 files", stderr)

    def test_output_file_holds_the_same_text_on_every_run(self):
        out = os.path.join(self.temp.name, "served", "manifest.txt")
        os.makedirs(os.path.dirname(out))
        self.write("launcher.cache", b"x")
        first = run(self.root, "--at-paths", "--version", "1", "-o", out, "--quiet")
        self.assertEqual(first.returncode, 0, first.stderr)
        self.assertEqual(first.stdout, b"")
        self.assertEqual(first.stderr, b"left out 1 file(s) the launcher writes itself: launcher.cache\n")
        with open(out, "rb") as f:
            written = f.read()
        self.assertEqual(run(self.root, "--at-paths", "--version", "1", "--quiet").stdout, written)
        # The list written into the release folder itself is left out of the next run's list.
        inside = os.path.join(self.root, "manifest.txt")
        again = run(self.root, "--at-paths", "--version", "1", "--quiet", "-o", inside)
        self.assertEqual(again.returncode, 0, again.stderr)
        again = run(self.root, "--at-paths", "--version", "1", "--quiet", "-o", inside)
        self.assertIn(b"left out manifest.txt", again.stderr)
        with open(inside, "rb") as f:
            self.assertEqual(f.read(), written)
        self.assertEqual(run(self.root, "--at-paths", "--version", "1", "-o", out, "--quiet").returncode, 0)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), written)
        self.assertEqual(os.listdir(os.path.dirname(out)), ["manifest.txt"])

    def test_warns_when_start_would_find_no_program(self):
        result = run(self.root, "--at-paths", "--version", "1", "--run", "bin/game.exe", "--keep", "*.sav")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"START runs bin/game.exe, which this release does not hold", result.stderr)
        self.assertIn(b"--keep *.sav matches no file", result.stderr)


def block_map(data):
    """The block map of `data` as the format defines it, written independently of the tool."""
    block = 4096
    while block * 2 ** 18 < len(data):
        block *= 2
    count = -(-len(data) // block)
    strong = 4
    while strong < 16 and len(data) * count > 2 ** (8 * strong - 20):
        strong += 1
    out = b"LBMAP01\n" + struct.pack("<QIBB2x", len(data), block, 4, strong)
    for at in range(0, len(data), block):
        piece = data[at:at + block].ljust(block, b"\0")
        a = sum(piece)
        b = block * a - sum(i * x for i, x in enumerate(piece))
        out += struct.pack("<I", (a & 0xffff) | (b & 0xffff) << 16) + hashlib.md5(piece).digest()[:strong]
    return out


class BlockMaps(ReleaseFolder):
    MIB = 1024 * 1024

    def setUp(self):
        super().setUp()
        self.big = os.urandom(self.MIB)
        self.write("data/big.pak", self.big)
        self.write("data/same.pak", self.big)
        self.write("data/under.pak", os.urandom(self.MIB - 1))
        self.write("saves/slot.cfg", os.urandom(2 * self.MIB))
        self.maps = os.path.join(self.root, "launcher.maps")
        self.out = os.path.join(self.temp.name, "manifest.txt")

    def publish(self, *args):
        result = run(self.root, "--at-paths", "--version", "1", "--keep", "*.cfg", "-o", self.out, "--quiet", *args)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.out, "rb") as f:
            return f.read(), result.stderr

    def map_path(self, data):
        return os.path.join(self.maps, md5(data) + ".map")

    def test_big_f_files_get_one_map_each_listed_after_their_entry_and_never_rewritten(self):
        text, _ = self.publish()
        name = "launcher.maps/%s.map" % md5(self.big)
        expected = block_map(self.big)
        m_line = b"M|%s|%d|%s|" % (hashlib.sha256(expected).hexdigest().encode(), len(expected), name.encode())
        lines = text.split(b"\n")
        for path in [b"data/big.pak", b"data/same.pak"]:
            at = lines.index(b"F|%s|%d|%s" % (md5(self.big).encode(), self.MIB, path))
            self.assertEqual(lines[at + 1], m_line + path)
        self.assertEqual(text.count(b"M|"), 2)
        self.assertEqual(os.listdir(self.maps), [os.path.basename(name)])
        with open(self.map_path(self.big), "rb") as f:
            self.assertEqual(f.read(), expected)

        os.utime(self.map_path(self.big), (1000000000, 1000000000))
        again, _ = self.publish()
        self.assertEqual(again, text)
        self.assertEqual(os.stat(self.map_path(self.big)).st_mtime, 1000000000)

    def test_stale_maps_go_once_the_list_is_out_and_the_folder_is_never_listed(self):
        self.publish()
        old_map = self.map_path(self.big)
        self.write("launcher.maps/%s.map.tmp" % md5(b"stopped"), b"half")
        self.write("Launcher.Maps/" + md5(b"other case") + ".MAP", b"stale")
        self.write("launcher.maps/notes.txt", b"mine")
        self.write("launcher.maps/old/kept.map", b"deeper")
        changed = os.urandom(self.MIB)
        self.write("data/big.pak", changed)
        text, stderr = self.publish()
        entries = [line.split(b"|")[3] for line in text.split(b"\n") if line[:2] in (b"F|", b"K|")]
        self.assertEqual(len(entries), 8)
        self.assertEqual([p for p in entries if p.lower().startswith(b"launcher.maps/")], [])
        self.assertIn(b"left out 2 file(s) in launcher.maps/", stderr)
        self.assertTrue(os.path.exists(old_map), "data/same.pak still has the old bytes")
        self.write("data/same.pak", changed)
        self.publish()
        self.assertFalse(os.path.exists(old_map))
        self.assertEqual(sorted(os.listdir(self.maps)), sorted([md5(changed) + ".map", "notes.txt", "old"]))
        self.assertEqual(os.listdir(os.path.join(self.root, "Launcher.Maps")), [])

    def test_no_delta_writes_no_map_and_leaves_the_folder_alone(self):
        self.write("launcher.maps/stale.map", b"x")
        text, _ = self.publish("--no-delta")
        self.assertNotIn(b"M|", text)
        self.assertEqual(os.listdir(self.maps), ["stale.map"])
        self.assertNotIn(b"launcher.maps", text)

    def test_signed_list_signs_the_map_lines_after_each_hash_line(self):
        key = os.path.join(self.temp.name, "studio.key")
        public_line = run("keygen", key).stdout.rstrip(b"\n")
        text, _ = self.publish("--sign-key", key, "--sequence", "7")
        lines = text.split(b"\n")
        at = lines.index(b"F|%s|%d|data/big.pak" % (md5(self.big).encode(), self.MIB))
        self.assertTrue(lines[at + 1].startswith(b"H|"))
        self.assertTrue(lines[at + 2].startswith(b"M|"))
        signed, _, signature_line = text[:-1].rpartition(b"\n")
        signature = base64.b64decode(signature_line[len(b"Signature="):], validate=True)
        self.assertTrue(openssl_verifies(self.temp.name, public_line, signed + b"\n", signature))


class Objects(ReleaseFolder):
    """The default layout: each file's bytes once under launcher.objects/<md5>-<size> in the list's
    folder, beside the maps, the launcher at its path and the list; every list kept for prune."""

    def setUp(self):
        super().setUp()
        self.write("launcher.exe", b"MZ launcher 1")
        self.write("data/copy.map", b"map" * 1000)
        # Not made beforehand: a first release makes its upload folder.
        self.upload = os.path.join(self.temp.name, "upload")

    def publish(self, version, *options):
        result = run(self.root, "--version", version, "--quiet", "-o", os.path.join(self.upload, "manifest.txt"),
                     *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(self.upload, "manifest.txt"), "rb") as f:
            return f.read()

    def uploaded(self, folder):
        full = os.path.join(self.upload, folder)
        return sorted(os.listdir(full)) if os.path.isdir(full) else []

    def object_path(self, data):
        return os.path.join(self.upload, "launcher.objects", "%s-%d" % (md5(data), len(data)))

    def test_identical_files_are_one_object_in_a_release_and_across_releases_never_rewritten(self):
        text = self.publish("1")
        self.assertIn(b"\nObjects=launcher.objects/\nF|", text)
        distinct = {bytes(d) for d in self.files.values()} | {b"MZ launcher 1"}
        self.assertEqual(self.uploaded("launcher.objects"), sorted("%s-%d" % (md5(d), len(d)) for d in distinct))
        for data in distinct:
            with open(self.object_path(data), "rb") as f:
                self.assertEqual(f.read(), data)
        # Launchers from before objects fetch their replacement at its path; no other file lies there.
        self.assertEqual(sorted(os.listdir(self.upload)),
                         ["launcher.exe", "launcher.lists", "launcher.objects", "manifest.txt"])
        self.assertEqual(self.uploaded("launcher.lists"), ["00000001.txt"])

        kept = self.object_path(b"map" * 1000)
        os.utime(kept, (1000000000, 1000000000))
        self.write("options.cfg", b"volume=9\n")
        self.write("launcher.exe", b"MZ launcher 2")
        second = self.publish("2")
        self.assertEqual(os.stat(kept).st_mtime, 1000000000)
        self.assertEqual(len(self.uploaded("launcher.objects")), len(distinct) + 2)
        with open(os.path.join(self.upload, "launcher.exe"), "rb") as f:
            self.assertEqual(f.read(), b"MZ launcher 2")
        self.assertEqual(self.publish("2"), second)
        self.assertEqual(self.uploaded("launcher.lists"), ["00000001.txt", "00000002.txt"])
        with open(os.path.join(self.upload, "launcher.lists", "00000002.txt"), "rb") as f:
            self.assertEqual(f.read(), second)

        # The release folder may be the upload folder: make_manifest's own folders are never listed.
        inside = run(self.root, "--version", "3", "--quiet", "-o", os.path.join(self.root, "manifest.txt"))
        self.assertEqual(inside.returncode, 0, inside.stderr)
        again = run(self.root, "--version", "3", "--quiet", "-o", os.path.join(self.root, "manifest.txt"))
        self.assertEqual(again.returncode, 0, again.stderr)
        with open(os.path.join(self.root, "manifest.txt"), "rb") as f:
            self.assertNotIn(b"launcher.objects/", f.read().split(b"Objects=launcher.objects/\n")[1])

        refused = run(self.root, "--version", "1")
        self.assertEqual(refused.returncode, 2)
        self.assertIn(b"give -o UPLOAD_DIR/manifest.txt (or --at-paths)", refused.stderr)

    def test_prune_keeps_what_the_current_and_the_last_n_lists_name(self):
        big = [os.urandom(1024 * 1024) for _ in range(3)]
        lists = []
        for number, data in enumerate(big, 1):
            self.write("data/big.pak", data)
            self.write("options.cfg", b"volume=%d\n" % number)
            lists.append(self.publish(str(number)))
        os.makedirs(os.path.join(self.upload, "launcher.objects", "mine"))
        before = {folder: self.uploaded(folder) for folder in ("launcher.objects", "launcher.maps")}
        only_first = ["launcher.objects/%s-%d" % (md5(big[0]), len(big[0])), "launcher.objects/%s-9" % md5(b"volume=1\n"),
                      "launcher.maps/%s.map" % md5(big[0])]

        dry = run("prune", self.upload, "--keep", "1", "--dry-run")
        self.assertEqual(dry.returncode, 0, dry.stderr)
        printed = dry.stdout.decode().splitlines()
        self.assertEqual(sorted(printed[:-1]), sorted("would remove " + name for name in only_first))
        self.assertRegex(printed[-1], r"^prune: 3 file\(s\) would be removed \(\d+ bytes\), \d+ kept, named by 2 list")
        self.assertEqual({folder: self.uploaded(folder) for folder in before}, before)

        done = run("prune", self.upload, "--keep", "1")
        self.assertEqual(done.returncode, 0, done.stderr)
        for name in only_first:
            self.assertFalse(os.path.exists(os.path.join(self.upload, name)), name)
        for text in lists[1:]:
            for line in text.split(b"\n"):
                if line.startswith(b"F|") or line.startswith(b"K|"):
                    digest, size = line.split(b"|")[1:3]
                    self.assertTrue(os.path.exists(os.path.join(
                        self.upload, "launcher.objects", "%s-%s" % (digest.decode(), size.decode()))), line)
        self.assertTrue(os.path.exists(os.path.join(self.upload, "launcher.maps", md5(big[1]) + ".map")))
        self.assertTrue(os.path.isdir(os.path.join(self.upload, "launcher.objects", "mine")))

        # A kept list that is no list stops everything: prune never guesses what players may need.
        with open(os.path.join(self.upload, "launcher.lists", "00000002.txt"), "wb") as f:
            f.write(b"<html>")
        broken = run("prune", self.upload, "--keep", "1")
        self.assertEqual(broken.returncode, 1)
        self.assertIn(b"launcher.lists/00000002.txt: not an update list; nothing was removed", broken.stderr)
        self.assertTrue(os.path.exists(os.path.join(self.upload, "launcher.maps", md5(big[1]) + ".map")))
        os.remove(os.path.join(self.upload, "manifest.txt"))
        self.assertEqual(run("prune", self.upload, "--keep", "0").returncode, 1)
        for args in [[self.upload], [self.upload, "--keep", "x"], ["--keep", "1"]]:
            result = run("prune", *args)
            self.assertEqual(result.returncode, 2, args)
            self.assertTrue(result.stderr.endswith(b"; see make_manifest prune --help\n"), result.stderr)
            self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
        self.assertIn(b"--dry-run", run("prune", "--help").stdout)


class Refusing(ReleaseFolder):
    def assert_refused(self, result, *texts):
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stdout, b"")
        for text in texts:
            self.assertIn(text, result.stderr)

    def test_refuses_paths_a_launcher_would_drop_or_misread_and_writes_nothing(self):
        self.write("notes.txt ", b"x")
        self.write("bad:name", b"x")
        self.write("saves/Options.cfg", b"x")
        self.write("Saves/options.cfg", b"x")
        out = os.path.join(self.temp.name, "manifest.txt")
        result = run(self.root, "--version", "1", "-o", out)
        self.assert_refused(result, b"refused notes.txt : the path ends in a blank",
                            b"refused bad:name: contains ':'", b"(letter case)", b"3 path(s) refused")
        self.assertFalse(os.path.exists(out))
        # Names in any script pass when they are UTF-8; Latin-1 bytes and letter case beyond ASCII do not.
        for path in ["saves/Options.cfg", "Saves/options.cfg", "notes.txt ", "bad:name"]:
            os.remove(os.path.join(self.root, path))
        self.write("Ελληνικά/日本.txt", b"x")
        self.write("données/É.txt", b"x")
        self.write("données/é.txt", b"x")
        self.write(b"old/caf\xe9.txt", b"x")
        result = run(self.root, "--version", "1", "-o", out)
        self.assert_refused(result, "refused données/é.txt: the same file as données/É.txt on Windows".encode(),
                            b"refused old/caf\xe9.txt: the name is not valid UTF-8 (byte 8: a sequence cut short)",
                            b"2 path(s) refused")
        self.assertNotIn("日本".encode(), result.stderr)

    def test_refuses_a_path_longer_than_a_launcher_takes(self):
        self.write("d/" * 60 + "x" * 130, b"x")
        self.assert_refused(run(self.root, "--at-paths", "--version", "1"), b"the path is 250 bytes long")

    def test_refuses_bad_values_before_reading_any_file(self):
        self.assert_refused(run(self.root, "--at-paths", "--version", ""), b"Version is empty")
        self.assert_refused(run(self.root, "--at-paths", "--version", "1", "--delete", "../save.dat"),
                            b"Delete '../save.dat'")
        self.assert_refused(run(self.root, "--at-paths", "--version", "1", "--run", "c:/game.exe"), b"Run 'c:/game.exe'")
        self.assert_refused(run(self.root, "--at-paths", "--version", "1", "--delete", "MAIN.EXE"),
                            b"names main.exe, which the list also carries")
        news = os.path.join(self.temp.name, "news.txt")
        with open(news, "wb") as f:
            f.write(b"ok\nnul\0byte\n")
        self.assert_refused(run(self.root, "--at-paths", "--version", "1", "--news", news), b"news line 2")
        with open(news, "wb") as f:
            f.write("\ufeffÖstliche Marsch\n".encode() + b"\xd6stliche Marsch\n")
        self.assert_refused(run(self.root, "--at-paths", "--version", "1", "--news", news),
                            b"news line 2 is not valid UTF-8 (byte 1: a sequence cut short)")
        self.assert_refused(run(self.root, "--at-paths", "--version", "1", "--news", news + ".missing"), b"can't open")

    def test_command_line_mistakes_say_what_and_where_the_help_is(self):
        for args in [[self.root], ["--version", "1"], [self.root, "--version"], [self.root, "-x", "--version", "1"],
                     ["keygen"], ["keygen", "-o"], ["rollback", self.root], [self.root, "--version", "1", "--above",
                                                                             "http://127.0.0.1:1/"]]:
            result = run(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
            self.assertTrue(result.stderr.endswith(b"; see make_manifest --help\n"), result.stderr)
        # keygen --help is help, not the name of a key file.
        for args in [["--help"], ["keygen", "--help"], ["rollback", "-h"]]:
            result = run(*args)
            self.assertEqual(result.returncode, 0)
            self.assertIn(b"--keep PATTERN", result.stdout)
            self.assertIn(b"*.part.tag", result.stdout)
        self.assertEqual(os.listdir(os.getcwd()).count("--help"), 0)
        self.assert_refused(run(os.path.join(self.root, "nowhere"), "--at-paths", "--version", "1"), b"not a folder")

    def test_refuses_a_signing_key_anywhere_in_the_folder_whatever_its_name(self):
        key = os.path.join(self.temp.name, "studio.key")
        run("keygen", key)
        with open(key, "rb") as f:
            key_text = f.read()
        out = os.path.join(self.temp.name, "manifest.txt")
        # Renamed, in a subfolder, with a comment added and CR LF line ends; and where nothing is listed.
        self.write("data/notes.txt", b"# copied\r\n" + key_text.replace(b"\n", b"\r\n"))
        self.write("launcher.maps/old.key", key_text)
        self.write("data/big.txt", b"PrivateKey=" + base64.b64encode(bytes(32)) + b"\n" + bytes(20000))
        result = run(self.root, "--version", "1", "-o", out)
        self.assert_refused(result, b"refused data/notes.txt: a private signing key",
                            b"refused launcher.maps/old.key: a private signing key",
                            b"2 signing key(s) in the release folder")
        self.assertNotIn(b"big.txt", result.stderr)
        os.remove(os.path.join(self.root, "data/notes.txt"))
        os.remove(os.path.join(self.root, "launcher.maps/old.key"))
        # The --sign-key file itself, inside the folder it signs.
        inside = os.path.join(self.root, "sub", "release.key")
        os.makedirs(os.path.dirname(inside))
        shutil.copy(key, inside)
        result = run(self.root, "--version", "1", "--sign-key", inside, "-o", out)
        self.assert_refused(result, b"refused sub/release.key: the --sign-key file itself lies in the release folder")
        self.assertNotIn(b"hashed", result.stderr)
        self.assertFalse(os.path.exists(out))
        os.remove(inside)
        self.assertEqual(run(self.root, "--version", "1", "--sign-key", key, "-o", out, "--quiet").returncode, 0)


class Signing(ReleaseFolder):
    def keygen(self, name="studio.key"):
        path = os.path.join(self.temp.name, name)
        result = run("keygen", path)
        self.assertEqual(result.returncode, 0, result.stderr)
        return path, result.stdout.rstrip(b"\n")

    def test_keygen_makes_an_owner_only_file_and_never_replaces_one(self):
        path, public_line = self.keygen()
        self.assertEqual(len(public_line), len("PublicKey=") + 88)
        self.assertEqual(len(base64.b64decode(public_line[10:], validate=True)), 64)
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
        with open(path, "rb") as f:
            key_text = f.read()
        self.assertIn(public_line + b"\n", key_text)
        again = run("keygen", path)
        self.assertEqual(again.returncode, 1)
        self.assertIn(b"exists already", again.stderr)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), key_text)
        self.assertNotEqual(self.keygen("second.key")[1], public_line)
        self.assertEqual(run("keygen").returncode, 2)

    def test_signed_list_verifies_with_openssl_and_names_every_sha256(self):
        path, public_line = self.keygen()
        out = os.path.join(self.temp.name, "manifest.txt")
        result = run(self.root, "--version", "2", "--keep", "*.cfg", "--sign-key", path, "--sequence", "42",
                     "-o", out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"signed as Sequence=42 for " + public_line, result.stderr)
        with open(out, "rb") as f:
            text = f.read()
        signed, _, signature_line = text[:-1].rpartition(b"\n")
        signed += b"\n"
        self.assertTrue(signature_line.startswith(b"Signature="))
        self.assertEqual(signed.count(b"Signature="), 0)
        lines = signed.split(b"\n")
        self.assertEqual(lines[:2], [b"Version=2", b"Sequence=42"])
        hashes = {line[67:]: line[2:66] for line in lines if line.startswith(b"H|")}
        expected = {}
        for path_name, data in self.files.items():
            name = path_name if isinstance(path_name, bytes) else path_name.encode()
            expected[name] = hashlib.sha256(data).hexdigest().encode()
        self.assertEqual(hashes, expected)

        signature = base64.b64decode(signature_line[10:], validate=True)
        self.assertEqual(len(signature), 64)
        self.assertTrue(openssl_verifies(self.temp.name, public_line, signed, signature))
        changed = signed.replace(b"Sequence=42", b"Sequence=43")
        self.assertFalse(openssl_verifies(self.temp.name, public_line, changed, signature))

        # A list replacing that one must be numbered above it, or launchers that took it would refuse
        # the new one; the old list stays as it was.
        for sequence in ("42", "7"):
            lower = run(self.root, "--version", "3", "--sign-key", path, "--sequence", sequence, "-o", out)
            self.assertEqual(lower.returncode, 1, sequence)
            self.assertIn(b"Sequence=" + sequence.encode() + b" is not above Sequence=42", lower.stderr)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), text)
        self.assertEqual(run(self.root, "--version", "3", "--sign-key", path, "--sequence", "43", "-o", out,
                             "--quiet").returncode, 0)

        before = int(time.time())
        dated = run(self.root, "--at-paths", "--version", "2", "--sign-key", path, "--quiet")
        self.assertEqual(dated.returncode, 0, dated.stderr)
        sequence = int(dated.stdout.split(b"\n")[1][len(b"Sequence="):])
        self.assertTrue(before <= sequence <= int(time.time()), sequence)

    def test_refuses_a_bad_key_or_sequence_before_reading_any_file(self):
        path, _ = self.keygen()
        for args in [["--sequence", "42"], ["--sign-key", path, "--sequence", "-1"]]:
            self.assertEqual(run(self.root, "--version", "1", *args).returncode, 2, args)
        with open(path, "rb") as f:
            key_text = f.read()
        mismatched = os.path.join(self.temp.name, "mismatched.key")
        _, other_line = self.keygen("other.key")
        with open(mismatched, "wb") as f:
            f.write(b"\n".join(other_line if line.startswith(b"PublicKey=") else line
                               for line in key_text.split(b"\n")))
        out = os.path.join(self.temp.name, "manifest.txt")
        result = run(self.root, "--version", "1", "--sign-key", mismatched, "-o", out)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"does not belong to its PrivateKey", result.stderr)
        self.assertFalse(os.path.exists(out))
        result = run(self.root, "--at-paths", "--version", "1", "--sign-key", self.root + "/options.cfg")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"not a make_manifest key file", result.stderr)
        self.assertNotIn(b"hashed", result.stderr)


    def test_next_key_is_named_in_the_signed_lines(self):
        path, public_line = self.keygen()
        next_path, next_line = self.keygen("next.key")
        out = os.path.join(self.temp.name, "manifest.txt")
        result = run(self.root, "--version", "2", "--sign-key", path, "--sequence", "42", "--next-key", next_path,
                     "-o", out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"naming the next key Next" + next_line[len(b"Public"):] + b"\n", result.stderr)
        with open(out, "rb") as f:
            text = f.read()
        lines = text.split(b"\n")
        self.assertEqual(lines[:3], [b"Version=2", b"Sequence=42", b"Next" + next_line[len(b"Public"):]])
        signed, _, signature_line = text[:-1].rpartition(b"\n")
        self.assertTrue(openssl_verifies(self.temp.name, public_line, signed + b"\n",
                                         base64.b64decode(signature_line[len(b"Signature="):])))
        # The PublicKey line names the same key.
        again = run(self.root, "--at-paths", "--version", "2", "--sign-key", path, "--sequence", "42", "--next-key",
                    next_line)
        self.assertEqual(again.stdout.split(b"\n")[:3], lines[:3])
        mistakes = [(["--next-key", next_path], 2, b"give --sign-key too"),
                    (["--sign-key", path, "--next-key", "PublicKey=AAAA"], 2,
                     b"--next-key PublicKey=AAAA: not a key: base64 of 3 bytes"),
                    (["--sign-key", path, "--next-key", public_line], 1, b"names the key the list is signed with")]
        for args, status, message in mistakes:
            result = run(self.root, "--version", "3", *args, "-o", out)
            self.assertEqual(result.returncode, status, args)
            self.assertIn(message, result.stderr, args)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), text)


class Verifying(ReleaseFolder):
    """A release published as make_manifest writes it, then checked from the outside."""

    SUMMARY = re.compile(r"^verify: (\d+) files?, (\d+) problems?, (\d+) warnings?, (\d+ block maps?, )?[\d.]+ [KM]B "
                         r"received in [\d.]+ s$")

    def setUp(self):
        super().setUp()
        self.key = os.path.join(self.temp.name, "studio.key")
        self.public_line = run("keygen", self.key).stdout.rstrip(b"\n").decode("ascii")
        self.expected = os.path.join(self.temp.name, "expected.txt")
        self.server = update_site.TestServer(os.path.join(self.temp.name, "site"))
        self.addCleanup(self.server.close)
        self.publish(self.server.root, "--sequence", "7")
        shutil.copy(os.path.join(self.server.root, "manifest.txt"), self.expected)

    def publish(self, root, *options):
        """As a studio does: make the list (and the maps beside the files), then upload it all."""
        os.makedirs(root, exist_ok=True)
        result = run(self.root, "--at-paths", "--version", "1", "--sign-key", self.key, "--quiet", "-o",
                     os.path.join(root, "manifest.txt"), *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        shutil.copytree(self.root, root, dirs_exist_ok=True)

    def served(self, path):
        return os.path.join(os.fsencode(self.server.root), os.fsencode(path))

    def verify(self, url, *options, status=1):
        """The problem lines; checks the exit status and the closing line's counts."""
        env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
        result = subprocess.run([TOOL, "verify", url, *options], capture_output=True, env=env, timeout=120)
        lines = result.stdout.decode("latin-1").splitlines()
        self.assertEqual(result.returncode, status, result.stdout + result.stderr)
        self.stderr = result.stderr.decode("latin-1")
        summary = self.SUMMARY.match(lines[-1]) if lines else None
        self.assertTrue(summary, lines)
        self.assertEqual(int(summary.group(2)) + int(summary.group(3)), len(lines) - 1, lines)
        for count, one in [(summary.group(2), " problem,"), (summary.group(3), " warning,")]:
            self.assertEqual(count == "1", count + one in lines[-1], lines[-1])
        self.summary = lines[-1]
        return lines[:-1]

    def test_a_clean_release_has_no_problem_on_either_server(self):
        for key in [self.key, self.public_line, self.public_line[len("PublicKey="):]]:
            self.assertEqual(self.verify(self.server.url, "--expect", self.expected, "--public-key", key, "--deep",
                                         status=0), [])
        requests = self.server.requests()
        listed = [r for r in requests if r["path"] == "/manifest.txt"]
        self.assertEqual(len(listed), 3)
        self.assertEqual(len({r["query"] for r in listed}), 3)
        self.assertTrue(all(re.fullmatch(r"t=\d+", r["query"]) and r["pragma"] == "no-cache" for r in listed))
        self.assertTrue(all(r["user_agent"] == "Tavrinor-Launcher/1.0" for r in requests))
        encoded = [r for r in requests if r["path"] == "/data/caf%C3%A9.txt"]
        self.assertEqual({(r["query"], r["range"]) for r in encoded},
                         {("v=" + md5(b""), "bytes=0-0"), ("v=" + md5(b""), "")})

        nginx = update_site.Nginx(os.path.join(self.temp.name, "nginx"), self.server.root)
        self.addCleanup(nginx.close)
        self.assertEqual(self.verify(nginx.url, "--expect", self.expected, "--public-key", self.key, "--deep",
                                     "--connections", "1", status=0), [])
        # A server without ranges works for players, slower: a warning, with an exit status of its own.
        self.server.rules({"*": {"no_range": True}})
        self.assertEqual(self.verify(self.server.url, "--public-key", self.key, status=3),
                         ["server: no range support: no resume, no delta updates: expected 206 to a request for "
                          "bytes 0-0, the server answered 200 with the whole file"])
        self.assertIn(" 0 problems, 1 warning, ", self.summary)
        os.remove(self.served("main.exe"))
        self.assertEqual(self.verify(nginx.url.rstrip("/")),
                         ["main.exe: missing (check the upload and the letter case): expected 7 bytes, "
                          "the server answered 404"])
        self.assertIn(" 1 problem, 0 warnings, ", self.summary)

    def test_objects_are_checked_where_the_list_says_they_lie(self):
        shutil.rmtree(self.server.root)
        os.makedirs(self.server.root)
        result = run(self.root, "--version", "1", "--quiet", "-o", os.path.join(self.server.root, "manifest.txt"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.verify(self.server.url, "--deep", status=0), [])
        asked = {(r["path"], r["query"]) for r in self.server.requests() if r["path"] != "/manifest.txt"}
        self.assertEqual(asked, {("/launcher.objects/%s-%d" % (md5(d), len(d)), "") for d in self.files.values()})
        with open(self.served("launcher.objects/%s-9" % md5(b"volume=5\n")), "r+b") as f:
            f.write(b"V")
        self.assertEqual(self.verify(self.server.url, "--deep"), ["options.cfg: wrong MD5: expected %s, the server "
                                                                  "gave %s" % (md5(b"volume=5\n"), md5(b"Volume=5\n"))])

    def test_each_problem_of_the_files_has_its_line(self):
        self.write("data/big.pak", bytes(4 << 20))
        self.publish(self.server.root)
        os.remove(self.served("main.exe"))
        with open(self.served("options.cfg"), "ab") as f:
            f.write(b"x")
        with open(self.served("data/maps/m1.map"), "r+b") as f:
            f.write(b"pam")
        problems = ["main.exe: missing (check the upload and the letter case): expected 7 bytes, the server answered 404",
                    "options.cfg: wrong size: expected 9 bytes, the server has 10 bytes"]
        self.assertEqual(sorted(self.verify(self.server.url)), problems)
        deep = self.verify(self.server.url, "--deep", "--public-key", self.key)
        self.assertEqual(len(deep), 4, deep)
        self.assertIn("data/maps/m1.map: wrong MD5: expected %s, the server gave %s"
                      % (md5(b"map" * 1000), md5(b"pam" + b"map" * 999)), deep)
        self.assertIn("data/maps/m1.map: wrong SHA-256: expected %s, the server gave %s"
                      % (hashlib.sha256(b"map" * 1000).hexdigest(), hashlib.sha256(b"pam" + b"map" * 999).hexdigest()),
                      deep)

        self.server.rules({"*": {"no_range": True}, "/data/maps/m1.map": {"status": 403}})
        lines = self.verify(self.server.url, "--connections", "3")
        self.assertEqual(lines[0], "server: no range support: no resume, no delta updates: expected 206 to a request "
                                   "for bytes 0-0, the server answered 200 with the whole file")
        self.assertEqual(sorted(lines[1:]), [
            "data/maps/m1.map: HTTP 403: expected 3000 bytes, the server answered 403"] + problems)
        # Without ranges a size comes from the Content-Length alone: the 4 MiB body stays unread.
        self.assertRegex(self.summary, r" \d+ KB received")

    def test_a_served_list_other_than_the_expected_one(self):
        self.write("data/new.bin", b"new")
        self.write("options.cfg", b"volume=9\n")
        os.remove(os.path.join(self.root, "main.exe"))
        os.remove(self.served("main.exe"))
        self.publish(self.server.root, "--sequence", "8", "--run", "data/new.bin")
        sha = hashlib.sha256
        self.assertEqual(self.verify(self.server.url, "--expect", self.expected), [
            "manifest.txt: another Sequence: expected 7, the server's list has 8",
            "data/new.bin: not in %s: expected no line for it, the server's list has F|%s|3 H|%s"
            % (self.expected, md5(b"new"), sha(b"new").hexdigest()),
            "main.exe: missing from the served list: expected F|%s|7 H|%s, the server's list has no line for it"
            % (md5(b"MZ game"), sha(b"MZ game").hexdigest()),
            "options.cfg: changed: expected F|%s|9 H|%s, the server's list has F|%s|9 H|%s"
            % (md5(b"volume=5\n"), sha(b"volume=5\n").hexdigest(), md5(b"volume=9\n"), sha(b"volume=9\n").hexdigest()),
            "manifest.txt: a line added: expected only the lines of %s, the server's list has \"Run=data/new.bin\""
            % self.expected])

    def test_a_signature_that_fails_and_what_it_says(self):
        listed = os.path.join(self.server.root, "manifest.txt")
        with open(listed, "rb") as f:
            signed = f.read()
        other_key = os.path.join(self.temp.name, "other.key")
        run("keygen", other_key)
        fails = "manifest.txt: signature fails: expected a list signed with the key, the launcher says: "
        self.assertEqual(self.verify(self.server.url, "--public-key", other_key),
                         [fails + "changed after signing, or signed with another key"])
        unsigned = signed[:signed.index(b"Signature=")]
        lists = {signed.replace(b"Version=1", b"Version=2"): "changed after signing, or signed with another key",
                 unsigned: "no signature",
                 update_site.sign_text(self.key, re.sub(rb"H\|\w+\|main.exe\n", b"", unsigned)):
                     "no SHA-256 for main.exe"}
        for text, reason in lists.items():
            with open(listed, "wb") as f:
                f.write(text)
            self.assertEqual(self.verify(self.server.url, "--public-key", self.key), [fails + reason])

    def test_several_keys_say_which_one_signed_and_a_garbled_next_key_fails(self):
        next_key = os.path.join(self.temp.name, "next.key")
        next_line = run("keygen", next_key).stdout.rstrip(b"\n").decode("ascii")
        backup = os.path.join(self.temp.name, "backup.key")
        backup_line = run("keygen", backup).stdout.rstrip(b"\n").decode("ascii")
        self.assertEqual(self.verify(self.server.url, "--public-key", backup, "--public-key", self.key, status=0), [])
        self.assertIn("manifest.txt: signed with %s (--public-key 2 of 2)\n" % self.public_line, self.stderr)
        self.assertNotIn("next key", self.stderr)

        shutil.rmtree(self.server.root)
        self.key = backup
        self.publish(self.server.root, "--sequence", "8", "--next-key", next_line)
        self.assertEqual(self.verify(self.server.url, "--public-key", self.public_line, "--public-key", next_key,
                                     "--public-key", backup, status=0), [])
        self.assertIn("manifest.txt: signed with %s (--public-key 3 of 3)\n" % backup_line, self.stderr)
        self.assertIn("manifest.txt: names the next key Next%s\n" % next_line[len("Public"):], self.stderr)

        listed = os.path.join(self.server.root, "manifest.txt")
        with open(listed, "rb") as f:
            signed = f.read()
        garbled = signed[:signed.index(b"Signature=")].replace(b"NextKey=", b"NextKey=A")
        with open(listed, "wb") as f:
            f.write(update_site.sign_text(backup, garbled))
        self.assertEqual(self.verify(self.server.url, "--public-key", backup),
                         ["manifest.txt: signature fails: expected a list signed with the key, the launcher says: "
                          "a garbled NextKey line"])

    def test_block_maps_are_checked_for_size_sha256_and_as_the_launcher_reads_them(self):
        listed = os.path.join(self.server.root, "manifest.txt")
        with open(listed, "rb") as f:
            published = f.read()
        os.makedirs(self.served("maps"))
        name = "maps/m1.map.map (block map of data/maps/m1.map)"
        refused = name + ": refused by the launcher (updates of data/maps/m1.map will download the whole file): "

        def serve_map(data, path=b"data/maps/m1.map"):
            with open(self.served("maps/m1.map.map"), "wb") as f:
                f.write(data)
            with open(listed, "wb") as f:
                f.write(published + b"M|%s|%d|maps/m1.map.map|%s\n" % (hashlib.sha256(data).hexdigest().encode(),
                                                                        len(data), path))

        right = block_map(b"map" * 1000)
        serve_map(right)
        self.assertEqual(self.verify(self.server.url, status=0), [])
        with open(self.served("maps/m1.map.map"), "r+b") as f:
            f.write(b"A")
        self.assertEqual(self.verify(self.server.url), ["%s: wrong SHA-256: expected %s, the server gave %s" % (
            name, hashlib.sha256(right).hexdigest(), hashlib.sha256(b"A" + right[1:]).hexdigest())])
        os.remove(self.served("maps/m1.map.map"))
        self.assertEqual(self.verify(self.server.url), [
            name + ": missing (check the upload and the letter case): expected 32 bytes, the server answered 404"])

        # Bytes that are the listed ones but no map the launcher takes for a file of 3000 bytes: the
        # launcher fetches the file whole, so each is a warning.
        expected = "expected the map of a file of 3000 bytes, the launcher's reader says: "
        refusals = {block_map(b"other" * 400): expected + "a map for another file size",
                    right[:21] + b"\x05" + right[22:]: expected + "a wrong strong sum length",
                    b"a block map" * 50: "expected the 32 bytes of the map of a file of 3000 bytes, the list names "
                                         "550 bytes"}
        for data, refusal in refusals.items():
            serve_map(data)
            self.assertEqual(self.verify(self.server.url, status=3), [refused + refusal])
        serve_map(right, b"data/gone.pak")
        self.assertEqual(self.verify(self.server.url, status=3), [
            "maps/m1.map.map (block map of data/gone.pak): refused by the launcher (updates of data/gone.pak will "
            "download the whole file): expected a map of a listed file, the list has no entry data/gone.pak"])

    def test_ranges_a_delta_asks_must_come_back_as_asked(self):
        self.write("data/big.pak", os.urandom(1 << 20))
        self.write("saves/huge.cfg", os.urandom(3 << 20))
        self.publish(self.server.root, "--keep", "*.cfg")
        self.assertEqual(self.verify(self.server.url, status=0), [])
        # The first file with a map and the largest are asked again with the validator of the first answer.
        again = [r for r in self.server.requests() if r.get("if_range")]
        self.assertEqual(sorted((r["path"], r["range"]) for r in again),
                         [("/data/big.pak", "bytes=1048575-1048575"), ("/saves/huge.cfg", "bytes=3145727-3145727")])
        self.assertTrue(all(re.fullmatch(r'"[0-9a-f]+-[0-9a-f]+"', r["if_range"]) for r in again), again)

        another = ": the server answers another range than asked (deltas and resumed downloads will fetch whole " \
                  "files): expected bytes 0-0, the server answered "
        self.server.rules({"*": {"whole_as_partial": True}, "/main.exe": {"wrong_range": 3}})
        self.assertEqual(sorted(self.verify(self.server.url, status=3)), [
            "data/big.pak" + another + "bytes 0-1048575/1048576",
            "data/maps/m1.map" + another + "bytes 0-2999/3000",
            "main.exe" + another + "bytes 3-3/7",
            "options.cfg" + another + "bytes 0-8/9",
            "saves/huge.cfg" + another + "bytes 0-3145727/3145728"])

        # CDN nodes that each make their own ETag: every later range of a delta misses.
        self.server.rules({"*": {"etag_per_request": True}})
        lines = sorted(self.verify(self.server.url, status=3))
        self.assertEqual(len(lines), 2, lines)
        for line, path, last in zip(lines, ["data/big.pak", "saves/huge.cfg"], [1048575, 3145727]):
            self.assertRegex(line, r'^%s: the server does not honour If-Range with its own validator \(deltas and '
                                   r'resumed downloads will fetch whole files\): expected bytes %d-%d to If-Range: '
                                   r'"node-\d+", the server answered HTTP 200 with the validator "node-\d+"$'
                             % (path, last, last))

    def test_answers_a_launcher_would_refuse_are_problems_and_redirections_are_followed(self):
        cut = "data/maps/m1.map: no answer: expected 3000 bytes, "
        os.makedirs(self.served("copy"))
        shutil.copy(self.served("main.exe"), self.served("copy/main.exe"))
        self.server.rules({"/main.exe": {"redirect": "/elsewhere/main.exe", "redirect_status": 301},
                           "/elsewhere/main.exe": {"redirect": "../copy/main.exe"},
                           "/options.cfg": {"chunked": True, "no_range": True},
                           "/data/maps/m1.map": {"drop_after": 1000}})
        lines = self.verify(self.server.url, "--deep")
        self.assertEqual(len(lines), 2, lines)
        self.assertTrue(lines[0].startswith("server: no range support"), lines)
        self.assertTrue(lines[1].startswith(cut), lines)
        # Without a Content-Length only the body's end tells the size, also without --deep.
        self.server.rules({"/options.cfg": {"chunked": True, "no_range": True, "extra_bytes": 1}})
        self.assertEqual(self.verify(self.server.url)[1:],
                         ["options.cfg: wrong size: expected 9 bytes, the server sent more"])
        self.server.rules({"/main.exe": {"redirect": "/main.exe"}})
        self.assertEqual(self.verify(self.server.url),
                         ["main.exe: no answer: expected 7 bytes, too many redirections"])

        # An error page served as 200, and a list past the 16 MiB every launcher refuses.
        self.server.rules({"/manifest.txt": {"body": "<html>Not here</html>"}})
        self.assertEqual(self.verify(self.server.url), [
            "manifest.txt: broken: expected a Version line or a file line, the launcher finds neither"])
        self.server.rules({"/manifest.txt": {"generate": 16 * 1024 * 1024 + 1}})
        self.assertEqual(self.verify(self.server.url), ["manifest.txt: no answer: expected the update list "
                                                        "(at most 16 MiB), more than 16777216 bytes"])

    def test_a_new_release_must_be_numbered_above_the_served_one(self):
        refused = b"Sequence=7 is not above Sequence=7 of the list served at " + self.server.url.encode()
        make = [self.root, "--at-paths", "--version", "2", "--sign-key", self.key, "--quiet", "--above",
                self.server.url.rstrip("/")]
        result = run(*make, "--sequence", "7")
        self.assertEqual(result.returncode, 1)
        self.assertIn(refused, result.stderr)
        self.assertEqual(result.stdout, b"")
        # Before the upload: the next list's files are looked for on the server, its number against the served one.
        nxt = os.path.join(self.temp.name, "next.txt")
        self.write("data/new.bin", b"new")
        for sequence, status in [("6", 1), ("8", 1)]:
            with open(nxt, "wb") as f:
                f.write(run(*make, "--sequence", sequence).stdout if sequence == "8" else
                        update_site.sign_text(self.key, b"Version=1\nSequence=6\n"))
            lines = self.verify(self.server.url, "--next", nxt, "--public-key", self.key, status=status)
            self.assertEqual(lines, [nxt + ": Sequence not above the served one: expected above 7, " + nxt +
                                     " has 6: launchers that took the served list refuse it"] if sequence == "6" else
                             ["data/new.bin: missing (check the upload and the letter case): expected 3 bytes, "
                              "the server answered 404"])
        shutil.copy(os.path.join(self.root, "data/new.bin"), self.served("data/new.bin"))
        self.assertEqual(self.verify(self.server.url, "--next", nxt, "--public-key", self.key, status=0), [])
        # No list served yet, or an unsigned one, holds nothing back; a server that can't be asked stops the run.
        listed = self.served("manifest.txt")
        os.remove(listed)
        self.assertEqual(run(*make, "--sequence", "1").returncode, 0)
        self.assertEqual(self.verify(self.server.url, "--next", nxt, status=0), [])
        self.assertEqual(run(self.root, "--version", "1", "-o", listed).returncode, 0)
        self.assertEqual(run(*make, "--sequence", "1").returncode, 0)
        self.server.close()
        result = run(*make, "--sequence", "9")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"can't fetch the list served at", result.stderr)
        self.assertEqual(result.stdout, b"")

    def test_rollback_signs_the_old_release_again_above_the_served_one(self):
        news = os.path.join(self.temp.name, "news.txt")
        with open(news, "wb") as f:
            f.write(b"Back to 1.\n")
        old = os.path.join(self.temp.name, "old.txt")
        self.write("data/big.pak", os.urandom(1 << 20))
        self.publish(self.server.root, "--sequence", "8", "--news", news, "--run", "main.exe", "--delete", "gone.dat")
        shutil.copy(self.served("manifest.txt"), old)
        old_files = {path: open(self.served(path), "rb").read() for path in ["options.cfg", "main.exe"]}
        self.write("options.cfg", b"volume=9\n")
        self.publish(self.server.root, "--sequence", "9")
        rollback = os.path.join(self.temp.name, "rollback.txt")
        result = run("rollback", old, "--sign-key", self.key, "--sequence", "9", "--above", self.server.url,
                     "-o", rollback)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"Sequence=9 is not above Sequence=9 of the list served at", result.stderr)
        self.assertFalse(os.path.exists(rollback))
        self.assertEqual(run("rollback", old, "--sign-key", self.key, "--above", self.server.url, "-o", rollback,
                             "--quiet").returncode, 0)
        with open(old, "rb") as f:
            old_lines = f.read().split(b"\n")
        with open(rollback, "rb") as f:
            text = f.read()
        lines = text.split(b"\n")
        self.assertEqual([line for line in lines if not line.startswith((b"Sequence=", b"Signature="))],
                         [line for line in old_lines if not line.startswith((b"Sequence=", b"Signature="))])
        self.assertGreater(int(lines[1][len(b"Sequence="):]), 9)
        self.assertTrue(any(line.startswith(b"M|") for line in lines) and b"News=Back to 1." in lines)
        signed, _, signature_line = text[:-1].rpartition(b"\n")
        self.assertTrue(openssl_verifies(self.temp.name, self.public_line.encode(), signed + b"\n",
                                         base64.b64decode(signature_line[len(b"Signature="):])))
        # Uploaded as a release is, the old files first: verify checks it like any other.
        for path, data in old_files.items():
            with open(self.served(path), "wb") as f:
                f.write(data)
        shutil.copy(rollback, self.served("manifest.txt"))
        self.assertEqual(self.verify(self.server.url, "--expect", rollback, "--public-key", self.key, "--deep",
                                     status=0), [])

        # A list of another key only when told, and never one whose entries lack their SHA-256.
        other_key = os.path.join(self.temp.name, "other.key")
        run("keygen", other_key)
        result = run("rollback", old, "--sign-key", other_key, "--sequence", "20")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"fails its signature check under this key: changed after signing, or signed with another key; "
                      b"a list signed with another key of yours takes --from-other-key", result.stderr)
        self.assertEqual(run("rollback", old, "--sign-key", other_key, "--sequence", "20", "--from-other-key",
                             "-o", self.served("manifest.txt"), "--quiet").returncode, 1, "below the served list")
        self.assertEqual(run("rollback", old, "--sign-key", other_key, "--sequence", "4000000000", "--from-other-key",
                             "-o", self.served("manifest.txt"), "--quiet").returncode, 0)
        self.assertEqual(self.verify(self.server.url, "--public-key", other_key, status=0), [])
        self.assertEqual(self.verify(self.server.url, "--public-key", self.key), [
            "manifest.txt: signature fails: expected a list signed with the key, the launcher says: changed after "
            "signing, or signed with another key"])
        unsigned = os.path.join(self.temp.name, "unsigned.txt")
        self.assertEqual(run(self.root, "--version", "1", "-o", unsigned).returncode, 0)
        result = run("rollback", unsigned, "--sign-key", self.key, "--sequence", "30", "--from-other-key")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"can't be signed again as it is: no SHA-256 for ", result.stderr)

    def test_progress_goes_to_stderr_while_the_requests_take_their_time(self):
        self.server.rules({"*": {"delay_ms": 300}})
        result = run("verify", self.server.url, "--connections", "1")
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertRegex(result.stderr.decode("ascii"), r"checked [0-3] / 4 files, \d+ KB received, [\d.]+ s\n")

    def test_command_line_mistakes_and_an_unreachable_server(self):
        for args in [[], ["ftp://127.0.0.1/"], [self.server.url, "--connections", "0"],
                     [self.server.url, "--connections", "33"], [self.server.url, "--public-key", "PublicKey=AAAA"],
                     [self.server.url, "--expect", self.expected + ".missing"], [self.server.url, "--fast"],
                     [self.server.url, "--expect", self.expected, "--next", self.expected]]:
            result = run("verify", *args)
            self.assertEqual(result.returncode, 2, args)
            self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
            self.assertTrue(result.stderr.endswith(b"; see make_manifest verify --help\n"), result.stderr)
        self.assertIn(b"--public-key AAAA: not a key: base64 of 3 bytes, a PublicKey is 64",
                      run("verify", self.server.url, "--public-key", "AAAA").stderr)
        self.server.close()
        lines = self.verify(self.server.url)
        self.assertEqual(len(lines), 1)
        self.assertTrue(lines[0].startswith("manifest.txt: no answer: expected the update list"), lines)


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main()
