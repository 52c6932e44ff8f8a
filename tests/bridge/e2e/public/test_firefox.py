"""A public https site in headless Firefox ESR, driven over WebDriver BiDi by puppeteer-core,
the loopback-network permission granted and denied through it."""

import public_origin
from public_origin import fixture


class FirefoxPublicOriginTest(public_origin.PublicOriginTest):
    @classmethod
    def start_browser(cls, public):
        return cls.world.firefox(public=public)


if __name__ == "__main__":
    fixture.main()
