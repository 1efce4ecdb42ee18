#!/usr/bin/env python3
"""make_manifest as a studio runs it: on temporary release folders, checking its output, its
messages on stderr and its exit codes."""
import base64
import hashlib
import os
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest

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
        self.temp = tempfile.TemporaryDirectory()
        self.root = os.path.join(self.temp.name, "release")
        self.files = {
            "main.exe": b"MZ game",
            "data/maps/m1.map": b"map" * 1000,
            "data/caf\xe9.txt".encode("latin-1"): b"",
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
        result = run(self.root, "--version", "2", "--news", news, "--run", "main.exe",
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
        first = run(self.root, "--version", "1", "-o", out, "--quiet")
        self.assertEqual(first.returncode, 0, first.stderr)
        self.assertEqual(first.stdout, b"")
        self.assertEqual(first.stderr, b"left out 1 file(s) the launcher writes itself: launcher.cache\n")
        with open(out, "rb") as f:
            written = f.read()
        self.assertEqual(run(self.root, "--version", "1", "--quiet").stdout, written)
        # The list written into the release folder itself is left out of the next run's list.
        inside = os.path.join(self.root, "manifest.txt")
        again = run(self.root, "--version", "1", "--quiet", "-o", inside)
        self.assertEqual(again.returncode, 0, again.stderr)
        again = run(self.root, "--version", "1", "--quiet", "-o", inside)
        self.assertIn(b"left out manifest.txt", again.stderr)
        with open(inside, "rb") as f:
            self.assertEqual(f.read(), written)
        self.assertEqual(run(self.root, "--version", "1", "-o", out, "--quiet").returncode, 0)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), written)
        self.assertEqual(os.listdir(os.path.dirname(out)), ["manifest.txt"])

    def test_warns_when_start_would_find_no_program(self):
        result = run(self.root, "--version", "1", "--run", "bin/game.exe", "--keep", "*.sav")
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
        result = run(self.root, "--version", "1", "--keep", "*.cfg", "-o", self.out, "--quiet", *args)
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

    def test_refuses_a_path_longer_than_a_launcher_takes(self):
        self.write("d/" * 60 + "x" * 130, b"x")
        self.assert_refused(run(self.root, "--version", "1"), b"the path is 250 bytes long")

    def test_refuses_bad_values_before_reading_any_file(self):
        self.assert_refused(run(self.root, "--version", ""), b"Version is empty")
        self.assert_refused(run(self.root, "--version", "1", "--delete", "../save.dat"),
                            b"Delete '../save.dat'")
        self.assert_refused(run(self.root, "--version", "1", "--run", "c:/game.exe"), b"Run 'c:/game.exe'")
        self.assert_refused(run(self.root, "--version", "1", "--delete", "MAIN.EXE"),
                            b"names main.exe, which the list also carries")
        news = os.path.join(self.temp.name, "news.txt")
        with open(news, "wb") as f:
            f.write(b"ok\nnul\0byte\n")
        self.assert_refused(run(self.root, "--version", "1", "--news", news), b"news line 2")
        self.assert_refused(run(self.root, "--version", "1", "--news", news + ".missing"), b"can't open")

    def test_command_line_mistakes_show_the_usage(self):
        for args in [[self.root], ["--version", "1"], [self.root, "--version"], [self.root, "-x", "--version", "1"]]:
            result = run(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn(b"usage: make_manifest", result.stderr)
        result = run("--help")
        self.assertEqual(result.returncode, 0)
        self.assertIn(b"--keep PATTERN", result.stdout)
        self.assert_refused(run(os.path.join(self.root, "nowhere"), "--version", "1"), b"not a folder")


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

        before = int(time.time())
        dated = run(self.root, "--version", "2", "--sign-key", path, "--quiet")
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
        result = run(self.root, "--version", "1", "--sign-key", self.root + "/options.cfg")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"not a make_manifest key file", result.stderr)
        self.assertNotIn(b"hashed", result.stderr)


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main()
