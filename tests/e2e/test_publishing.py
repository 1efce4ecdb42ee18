"""Publishing through a caching edge, through the real window: nginx in front of the origin keeps
every answer a day under its path alone (the query and the origin's Cache-Control ignored, as many
CDNs do) and passes the list through. A release published as objects and uploaded step by step,
objects first and the list last, never fails a player through the edge or straight from the
origin, and every folder ends exact; the same release with the files at their paths leaves the
edge's players with the old copies."""
import os
import shutil
import subprocess

import harness
import update_site
from update_site import SiteTestCase

EDGE_CACHE = "proxy_cache_path {scratch}/cache keys_zone=edge:1m;"
EDGE = """location = /manifest.txt {{ proxy_pass {origin}; }}
        location / {{
            proxy_pass {origin};
            proxy_cache edge;
            proxy_cache_key $uri;
            proxy_cache_valid 200 206 1d;
            proxy_ignore_headers Cache-Control Expires Set-Cookie;
        }}"""
PASSED = ("Update complete.", "Your game is up to date.")
DAMAGED = "file damaged on the way"
# The launcher's own files beside the game, which no release lists.
OWN = {b"launcher.exe", b"launcher.ini", b"launcher.cache", b"launcher.installed"}


def pattern(size, seed):
    return bytes((i * 7 + seed) % 253 for i in range(size))


RELEASE_1 = {"main.exe": b"MZ game 1", "data/a.bin": pattern(300 * 1024, 1), "data/b.bin": b"b" * 5000,
             "readme.txt": b"Welcome to Tavrin.\r\n"}
RELEASE_2 = dict(RELEASE_1, **{"data/a.bin": pattern(300 * 1024, 2), "data/b.bin": b"B" * 5000,
                               "data/c.bin": b"new in release 2"})


class CachingEdge(SiteTestCase):
    """Two players, one through the edge and one straight from the origin (the test server)."""

    def setUp(self):
        super().setUp()
        self.upload = os.path.join(self.site, "upload")
        os.makedirs(self.upload)
        self.edge = update_site.Nginx(os.path.join(self.site, "edge"), self.server.root,
                                      extra=EDGE.format(origin=self.server.url.rstrip("/")), http_extra=EDGE_CACHE)
        self.addCleanup(self.edge.close)
        self.from_origin = self.folder
        self.through_edge = harness.GameFolder(self.session.paths, self.session.work, self.name + "-edge")
        self.through_edge.write_ini(url=self.edge.url)

    def make_release(self, files, *options):
        """make_manifest writes the release into the upload folder."""
        release = os.path.join(self.site, "release")
        shutil.rmtree(release, ignore_errors=True)
        update_site.write_tree(release, files)
        subprocess.run([self.session.paths.make_manifest, release, "--version", "1", "--quiet", "-o",
                        os.path.join(self.upload, "manifest.txt"), *options], check=True, capture_output=True,
                       timeout=120)
        return release

    def upload_steps(self, source):
        """What is new or changed in `source` against the origin, everything else before the list."""
        steps = []
        for parent, _, names in os.walk(source):
            for name in names:
                relative = os.path.relpath(os.path.join(parent, name), source)
                if relative.startswith("launcher.lists"):
                    continue
                served = os.path.join(self.server.root, relative)
                with open(os.path.join(source, relative), "rb") as f:
                    data = f.read()
                if os.path.exists(served):
                    with open(served, "rb") as f:
                        if f.read() == data:
                            continue
                steps.append(relative)
        return sorted(steps, key=lambda path: (path == "manifest.txt", path))

    def upload_one(self, source, relative):
        target = os.path.join(self.server.root, relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(source, relative), target + ".tmp")
        os.replace(target + ".tmp", target)

    def run_pass(self, folder):
        """One pass of the launcher in `folder`, closed again; its status and detail lines."""
        self.folder = folder
        process, _ = self.launch()
        state = self.wait_pass_end()
        self.probe.act(f"click {harness.ID_EXIT}")
        self.assertEqual(self.wait_exit(process), 0)
        return state["status"]["text"] + " " + state["detail"]["text"]

    def assertExact(self, folder, files):
        self.folder = folder
        self.assertFilesAre(files)
        listed = {update_site.disk_name(path) for path in files}
        self.assertEqual(self.folder_contents() - OWN, listed, self.details())

    def test_objects_uploaded_first_and_the_list_last_never_fail_a_player(self):
        self.make_release(RELEASE_1)
        for step in self.upload_steps(self.upload):
            self.upload_one(self.upload, step)
        for folder in (self.through_edge, self.from_origin):
            self.assertTrue(self.run_pass(folder).startswith("Update complete."), self.details())
            self.assertExact(folder, RELEASE_1)

        self.make_release(RELEASE_2)
        steps = self.upload_steps(self.upload)
        # Three objects and the list: nothing published before changes its bytes but the list.
        self.assertEqual(len(steps), 4, steps)
        self.assertTrue(all(step.startswith("launcher.objects/") for step in steps[:-1]), steps)
        self.assertEqual(steps[-1], "manifest.txt")
        for number, step in enumerate(steps):
            self.upload_one(self.upload, step)
            expected = RELEASE_2 if step == "manifest.txt" else RELEASE_1
            for folder in (self.through_edge, self.from_origin):
                status = self.run_pass(folder)
                self.assertTrue(status.startswith(PASSED), f"after upload step {number} ({step}){self.details()}")
                self.assertExact(folder, expected)
        self.assertTrue(any("/launcher.objects/" in line for line in self.edge.access_log().splitlines()))

    def test_files_at_their_paths_through_the_same_edge_stay_old(self):
        update_site.publish_release(self.session.paths, self.server.root, RELEASE_1, objects=False)
        self.assertTrue(self.run_pass(self.through_edge).startswith("Update complete."), self.details())
        update_site.publish_release(self.session.paths, self.server.root, RELEASE_2, objects=False)
        self.assertTrue(self.run_pass(self.from_origin).startswith("Update complete."), self.details())
        self.assertExact(self.from_origin, RELEASE_2)
        # The edge answers the changed files' new addresses with the copies it keeps for their paths.
        status = self.run_pass(self.through_edge)
        self.assertFalse(status.startswith(PASSED), status)
        self.assertIn(DAMAGED, status)


if __name__ == "__main__":
    harness.main()
