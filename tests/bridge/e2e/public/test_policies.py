"""The bridge's browser policy fragments for the pre-approved origins, placed in each browser's
policy folder (bind-mounted in a mount namespace of the browser's own): a pre-approved public
https site works with no loopback-network permission granted and no prompt."""

import os
import shutil
import subprocess
import unittest

import public_origin
from public_origin import GRANTED_HOST, fixture
from fixture import call, open_page

CHROMIUM_ETC = "/etc/chromium"
# Firefox ESR reads the system file first, then its distribution folder's.
FIREFOX_SYSTEM_POLICIES = ("/etc/firefox/policies/policies.json", "/etc/firefox-esr/policies/policies.json")
FIREFOX_DISTRIBUTION = "/usr/lib/firefox-esr/distribution"
CHROMIUM_FRAGMENT = os.path.join("chromium", "korvanng-loopback.json")
FIREFOX_FRAGMENT = os.path.join("firefox", "policies.json")

WORKS = "return outcome(() => new ActiveXObject('QXMeridiaControl.SGN').IsOnline);"


def mount_unavailable():
    """Why a private mount namespace with a bind mount cannot be had here, or None."""
    if os.geteuid() != 0:
        return "bind mounts need root"
    if shutil.which("unshare") is None:
        return "unshare is missing"
    done = subprocess.run(["unshare", "--mount", "--propagation", "private", "mount", "--bind",
                           "/tmp", "/tmp"], capture_output=True, text=True, timeout=30)
    if done.returncode != 0:
        return "no private mount namespace here: " + (done.stderr.strip() or "unshare failed")
    return None


def mounting_wrapper(path, source, target, program):
    """A script that runs program with source bind-mounted over target, seen by it alone."""
    with open(path, "w") as f:
        f.write("#!/bin/sh\nexec unshare --mount --propagation private sh -c "
                "'mount --bind \"$1\" \"$2\" && shift 3 && exec \"$0\" \"$@\"' "
                "'%s' '%s' '%s' x \"$@\"\n" % (program, source, target))
    os.chmod(path, 0o700)
    return path


class PolicyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        reason = mount_unavailable()
        if reason:
            raise unittest.SkipTest(reason)
        cls.world = fixture.World()
        try:
            public_origin.single_token(cls.world)
            certificate = cls.world.certificate([GRANTED_HOST])
            cls.bridge, (cls.site,) = cls.world.start(pages=0, public=[(GRANTED_HOST, certificate)])
            cls.fragments = os.path.join(cls.world.root, "policies")
            cls.write_fragments()
        except BaseException:
            cls.world.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.world.close()

    @classmethod
    def write_fragments(cls):
        # From the bridge alone: a bridge without the option fails here, never a stand-in's files.
        env = dict(cls.world.env, KORVAN_BRIDGE_ALLOW=cls.site.origin)
        fixture.run([os.path.join(cls.world.bin, "korvan-bridge"), "--browser-policies", cls.fragments], env=env)

    def folder(self, name):
        path = os.path.join(self.world.root, name)
        os.makedirs(path)
        return path

    def test_chromium_lets_a_pre_approved_site_through_without_a_permission(self):
        if not os.path.isdir(CHROMIUM_ETC):
            self.skipTest(CHROMIUM_ETC + " is missing: nothing to mount over")
        etc = self.folder("etc-chromium")
        shutil.copytree(CHROMIUM_ETC, etc, dirs_exist_ok=True, symlinks=True)
        managed = os.path.join(etc, "policies", "managed")
        os.makedirs(managed, exist_ok=True)
        shutil.copy(os.path.join(self.fragments, CHROMIUM_FRAGMENT), managed)
        wrapper = mounting_wrapper(os.path.join(self.world.root, "chromedriver"), etc, CHROMIUM_ETC,
                                   fixture.CHROMEDRIVER)
        driver = self.world.browser(public=[self.site], chromedriver=wrapper)
        open_page(driver, self.site)
        self.assertEqual(call(driver, WORKS), {"value": 0})

    def test_firefox_lets_a_pre_approved_site_through_without_a_permission(self):
        fragment = os.path.join(self.fragments, FIREFOX_FRAGMENT)
        system = [path for path in FIREFOX_SYSTEM_POLICIES if os.path.isfile(path)]
        if system:
            source, target = fragment, system[0]
        elif os.path.isdir(FIREFOX_DISTRIBUTION):
            source = self.folder("distribution")
            shutil.copytree(FIREFOX_DISTRIBUTION, source, dirs_exist_ok=True, symlinks=True)
            shutil.copy(fragment, os.path.join(source, "policies.json"))
            target = FIREFOX_DISTRIBUTION
        else:
            self.skipTest("no policy file or distribution folder of Firefox ESR to mount over")
        wrapper = mounting_wrapper(os.path.join(self.world.root, "firefox"), source, target,
                                   fixture.FIREFOX)
        driver = self.world.firefox(public=[self.site], executable=wrapper)
        # Without the policy Firefox would hold the page for its prompt: fail well before.
        driver.get("%s/page.html" % self.site.origin, timeout_s=15)
        self.assertEqual(call(driver, WORKS), {"value": 0})


if __name__ == "__main__":
    fixture.main()
