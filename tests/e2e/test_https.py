"""HTTPS through the real window, from nginx with certificates of the suite's own test CA, which the
prefix trusts: a signed install and a signed delta update, its small ranges on the most
connections; servers whose certificate comes from a
CA the prefix does not trust, reaches no known CA, has expired or names another host, a server
that speaks no TLS and one that redirects to plain HTTP, each refused with its reason on the
status line and nothing applied; a file whose address leads to a refused certificate, never
placed; and make_manifest verify refusing the same servers with the launcher's reasons."""
import datetime
import os
import re
import subprocess
import tempfile
import types

import harness
import update_site
from test_delta import BIG, BIG_SIZE, BLOCK, changed, random_bytes
from test_signed_release import SignedSite, pattern, write_files

# The name in every Url: nginx listens on 127.0.0.1 alone, and the server certificates are issued
# to this name (wine matches no IP address in a certificate).
HOST = "localhost"
# The trusted CA keeps its name from run to run, so that each run's CA replaces the last one's.
TRUSTED_CA = "Tavrin launcher test CA"
STRANGER_CA = "Tavrin launcher stranger CA"
LONG_AGO = ("20200101000000Z", "20200201000000Z")
VALID_DAYS = 2
UNREACHABLE = "Can't reach the update server ({}).".format
WELCOME = "Welcome!"
NO_LIST = "manifest.txt: no answer: expected the update list (at most 16 MiB), "
# A few changed places of a big file: each range a launcher asks for spans a block or two of them.
SMALL_RANGE = 4 * BLOCK

OPENSSL_CONF = """\
[ca]
default_ca = issuer
[issuer]
database = {folder}/index.txt
serial = {folder}/serial
new_certs_dir = {folder}
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
commonName = supplied
[authority]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign
[server]
basicConstraints = critical, CA:FALSE
extendedKeyUsage = serverAuth
subjectAltName = DNS:${{ENV::SERVER_NAME}}
"""


def openssl(*args, server_name=HOST):
    # The configuration reads the server certificate's name from the environment.
    subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=60,
                   env=dict(os.environ, SERVER_NAME=server_name))


def utc(moment):
    return moment.strftime("%Y%m%d%H%M%SZ")


def valid_now():
    now = datetime.datetime.now(datetime.timezone.utc)
    return utc(now), utc(now + datetime.timedelta(days=VALID_DAYS))


class Authority:
    """A CA made with openssl in its own folder, valid from long ago to a few days ahead, which
    issues P-256 server certificates. Its own key is RSA: wine 8.0 refuses about one ECDSA
    signature in 128 (those with a short number), which would fail a run now and then."""

    def __init__(self, folder, name):
        self.folder = folder
        os.makedirs(folder)
        open(os.path.join(folder, "index.txt"), "w").close()
        self.conf = os.path.join(folder, "openssl.cnf")
        with open(self.conf, "w") as out:
            out.write(OPENSSL_CONF.format(folder=folder))
        self.certificate, self.key = self._issue("ca", name, "authority", (LONG_AGO[0], valid_now()[1]))
        self.der = os.path.join(folder, "ca.der")
        openssl("x509", "-in", self.certificate, "-outform", "DER", "-out", self.der)

    def _issue(self, stem, name, kind, dates):
        key, request, certificate = (os.path.join(self.folder, stem + end) for end in (".key", ".csr", ".pem"))
        key_kind = ["rsa:2048"] if kind == "authority" else ["ec", "-pkeyopt", "ec_paramgen_curve:P-256"]
        openssl("req", "-new", "-newkey", *key_kind, "-nodes", "-keyout", key, "-out", request,
                "-subj", "/CN=" + name)
        signer = ["-selfsign", "-keyfile", key] if kind == "authority" else ["-cert", self.certificate,
                                                                             "-keyfile", self.key]
        openssl("ca", "-batch", "-config", self.conf, "-extensions", kind, "-in", request, "-out", certificate,
                "-notext", "-rand_serial", "-startdate", dates[0], "-enddate", dates[1], *signer, server_name=name)
        return certificate, key

    def issue(self, stem, name=HOST, dates=None, with_ca=False):
        """nginx's tls argument for a server certificate for name, valid from now for a few days
        unless dates says otherwise; with_ca sends the CA's certificate along."""
        certificate, key = self._issue(stem, name, "server", dates or valid_now())
        if with_ca:
            with open(certificate, "a") as chain, open(self.certificate) as ca:
                chain.write(ca.read())
        return certificate, key, HOST


_certificates = None
_failed = None


def certificates(session):
    """The run's server certificates, made at the first call, when the trusted CA also goes into
    the prefix's trusted roots. When that fails, every scenario fails with the same reason."""
    global _certificates, _failed
    if _failed:
        raise RuntimeError(f"no certificates: {_failed}")
    if _certificates is None:
        try:
            folder = os.path.join(session.work, "pki")
            trusted = Authority(os.path.join(folder, "trusted"), TRUSTED_CA)
            stranger = Authority(os.path.join(folder, "stranger"), STRANGER_CA)
            result = subprocess.run([session.paths.wine_run, os.environ["E2E_TRUST_ROOT"],
                                     harness.windows_path(trusted.der)], env=session.env, capture_output=True,
                                    timeout=120)
            if result.stdout.strip() != b"ok":
                raise RuntimeError(f"the test CA could not be trusted: {result.stdout!r}")
            _certificates = types.SimpleNamespace(
                trusted=trusted.issue("trusted"), expired=trusted.issue("expired", dates=LONG_AGO),
                other_name=trusted.issue("other-name", name="elsewhere.test"),
                stranger=stranger.issue("stranger", with_ca=True), orphan=stranger.issue("orphan"))
        except Exception as error:
            _failed = f"{type(error).__name__}: {error}"
            raise
    return _certificates


class HttpsSite(SignedSite):
    """The test server's folder holds the signed release, served by the nginx processes the
    scenario starts and ends."""

    def setUp(self):
        super().setUp()
        self.tls = certificates(self.session)
        self.servers = []

    def nginx(self, tls=None, extra=""):
        server = update_site.Nginx(tempfile.mkdtemp(prefix="nginx-", dir=self.site), self.server.root, tls, extra)
        self.addCleanup(server.close)
        self.servers.append(server)
        return server

    def publish_signed(self, files, sequence, news):
        write_files(self.server.root, files)
        news_file = os.path.join(self.site, "news.txt")
        with open(news_file, "wb") as out:
            out.write(news + b"\n")
        self.serve_list(self.sign(sequence, ("--news", news_file)))

    def run_pass(self, url, connections=None):
        self.folder.write_ini(url=url, public_key=self.public, connections=connections)
        process, _ = self.launch()
        return process, self.wait_pass_end()

    def test_a_signed_install_then_a_signed_delta_of_small_ranges_on_the_most_connections(self):
        old = random_bytes(BIG_SIZE, 21)
        release = {"readme.txt": b"Welcome to Tavrin.\r\n" * 20, "data/world.bin": pattern(300 * 1024, 6), BIG: old}
        self.publish_signed(release, 100, b"Served over HTTPS.")
        nginx = self.nginx(self.tls.trusted)
        # Nine asked, eight taken: the delta's ranges come on the most connections at once.
        process, state = self.run_pass(nginx.url, connections="9")
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertEqual(state["info"]["text"], "Served over HTTPS.", self.details())
        self.assertFilesAre(release)
        self.assertEqual(self.accepted_release(), b"100\n")
        self.assertEqual(sorted(line.split('"')[1].split("?")[0] for line in nginx.access_log().splitlines()),
                         sorted(["GET /manifest.txt", "GET /readme.txt", "GET /data/world.bin", "GET /" + BIG]))
        self.close_launcher(process)

        installed = len(nginx.access_log().splitlines())
        new = changed(old, 22)
        for at in range(400_000, BIG_SIZE, 700_000):
            new = new[:at] + random_bytes(1000, at) + new[at + 1000:]
        self.publish_signed(dict(release, **{BIG: new}), 101, b"Changed in a few places.")
        process, state = self.run_pass(nginx.url, connections="9")
        self.assertEqual(state["status"]["text"], "Update complete.", self.details())
        self.assertFilesAre(dict(release, **{BIG: new}))
        update = "\n".join(nginx.access_log().splitlines()[installed:])
        answers = re.findall(r'"GET ([^? ]+)\S* HTTP/1\.1" (\d+) (\d+)', update)
        map_path = f"/launcher.maps/{update_site.md5_text(new)}.map"
        self.assertEqual([status for path, status, _ in answers if path == map_path], ["200"], update)
        big = [(status, int(size)) for path, status, size in answers if path == "/" + BIG]
        self.assertTrue(big and all(status == "206" and size <= SMALL_RANGE for status, size in big), update)
        self.assertLess(sum(size for _, size in big), BIG_SIZE // 20)
        self.close_launcher(process)

    def test_refused_servers_apply_nothing(self):
        self.publish_signed({"data/a.bin": b"never to arrive"}, 100, b"Never to be shown.")
        plain = self.nginx()
        to_plain = self.nginx(self.tls.trusted, f"return 302 http://{HOST}:{plain.port}$request_uri;")
        cases = [
            ("a CA the prefix does not trust", self.nginx(self.tls.stranger).url, "certificate not trusted"),
            ("a chain that reaches no known CA", self.nginx(self.tls.orphan).url, "certificate can't be checked"),
            ("an expired certificate", self.nginx(self.tls.expired).url, "certificate expired"),
            ("a certificate for another name", self.nginx(self.tls.other_name).url, "certificate for another name"),
            ("a server without TLS", f"https://{HOST}:{plain.port}/", "secure connection failed"),
            ("a redirection to plain HTTP", to_plain.url, "redirected from HTTPS to HTTP"),
        ]
        before = self.folder_contents()
        for case, url, reason in cases:
            process, state = self.run_pass(url)
            self.screenshot("refused")
            context = f"\ncase: {case}" + self.details()
            self.assertEqual(state["status"]["text"], UNREACHABLE(reason), context)
            self.assertEqual(state["info"]["text"], WELCOME, context)
            self.assertMode(state, "START anyway", True, True)
            self.assertEqual(self.folder_contents(), before, context)
            self.close_launcher(process)
        for server in self.servers:
            self.assertNotIn('" 200 ', server.access_log(), "a refused server handed out the release")

    def test_a_file_behind_a_refused_certificate_is_not_placed(self):
        # The list comes from a trusted server; the file's address redirects to one whose
        # certificate is refused, as a CDN's might.
        self.publish_signed({"data/a.bin": pattern(5000, 7)}, 100, b"News of release 100.")
        stranger = self.nginx(self.tls.stranger)
        nginx = self.nginx(self.tls.trusted, f"location /data/ {{ return 302 {stranger.url[:-1]}$request_uri; }}")
        write_files(self.folder.path, {"data/a.bin": b"the old file"})
        process, state = self.run_pass(nginx.url)
        self.assertEqual(state["status"]["text"], "Download failed: certificate not trusted", self.details())
        self.assertEqual(state["detail"]["text"], "data/a.bin", self.details())
        self.assertEqual(self.read("data/a.bin"), b"the old file")
        self.assertEqual([p for p in self.folder_contents() if p.endswith(b".part")], [])
        self.assertEqual(stranger.access_log(), "")
        self.close_launcher(process)

    def verify(self, tool, url, *options):
        """make_manifest verify's problem lines and exit status; the Windows tool runs in the
        prefix, whose trusted roots hold the suite's CA, and the native one trusts the system's."""
        command = [tool, "verify", url, *options]
        if tool.endswith(".exe"):
            command.insert(0, self.session.paths.wine_run)
        env = {k: v for k, v in self.session.env.items() if not k.lower().endswith("_proxy")}
        result = subprocess.run(command, env=env, capture_output=True, timeout=120)
        lines = result.stdout.decode("latin-1").splitlines()
        self.assertRegex(lines[-1] if lines else "", r"^verify: \d+ files?, \d+ problems?, ", result.stderr)
        return lines[:-1], result.returncode

    def test_verify_checks_https_as_the_launcher_does(self):
        self.publish_signed({"data/a.bin": pattern(5000, 8)}, 100, b"Checked from outside.")
        windows = self.session.paths.windows_make_manifest
        native = self.session.paths.make_manifest
        trusted = self.nginx(self.tls.trusted)
        self.assertEqual(self.verify(windows, trusted.url, "--public-key", self.public, "--deep"), ([], 0))
        refused = [self.nginx(self.tls.stranger), self.nginx(self.tls.expired), self.nginx(self.tls.other_name)]
        plain = self.nginx()
        cases = [
            (windows, refused[0].url, "certificate not trusted"),
            (windows, refused[1].url, "certificate expired"),
            (windows, refused[2].url, "certificate for another name"),
            # The system's roots never hold the suite's CA.
            (native, trusted.url, "certificate not trusted"),
            (native, f"https://{HOST}:{plain.port}/", "secure connection failed"),
        ]
        for tool, url, reason in cases:
            self.assertEqual(self.verify(tool, url), ([NO_LIST + reason], 1), f"{tool} verify {url}")
        for server in refused:
            self.assertEqual(server.access_log(), "", "a refused server was asked for the release")


if __name__ == "__main__":
    harness.main()
