"""A public https site in headless Chromium, the loopback-network permission granted and denied
through CDP; and a public plain-http site, which Chromium blocks whatever the user says."""

import os

import public_origin
from public_origin import BRIDGE_DOWN, fixture, quiet_log_size
from fixture import call, open_page


class ChromiumPublicOriginTest(public_origin.PublicOriginTest):
    @classmethod
    def more_public(cls):
        return [("plain.example", None)]

    @classmethod
    def start_browser(cls, public):
        return cls.world.browser(public=public)

    def test_plain_http_public_site_is_blocked_outright(self):
        plain = self.servers[2]
        with self.assertRaisesRegex(Exception, "insecure context"):
            fixture.set_loopback_permission(self.driver, plain.origin, "granted")
        before = quiet_log_size(self.bridge)
        open_page(self.driver, plain)
        self.assertEqual(call(self.driver, BRIDGE_DOWN), ["undefined", "undefined", True])
        self.assertEqual(os.path.getsize(self.bridge.log_path), before, self.bridge.log_text())


if __name__ == "__main__":
    fixture.main()
