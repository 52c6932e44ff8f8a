"""The 64-bit control scripted by a page in Chromium, through the bridge, over a SoftHSM2 token
(a module no code of ours wrote) that softhsm2-util and pkcs11-tool filled: the page signs with
the key stored there, openssl verifies against the certificate stored there, a key pair is
generated and deleted, and the token's objects are what they were. SoftHSM2 keeps its tokens in a
folder of its own, which the worker may write only because bridge.conf grants it (and the variable
naming SoftHSM2's settings); without the grants the page is told the signing failed."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import fixture  # noqa: E402
import openssl_checks as ssl  # noqa: E402
from fixture import call, open_page, run  # noqa: E402

SOFTHSM2 = "/usr/lib/softhsm/libsofthsm2.so"
SOFTHSM2_UTIL = "/usr/bin/softhsm2-util"
PKCS11_TOOL = "/usr/bin/pkcs11-tool"
TEXT = "Überweisung 100 € an Müller"
KEY_ID = "a1b2c3"


class SoftHsmPageTest(fixture.BrowserTest):
    # The second origin's worker starts only once the grants are gone.
    page_servers = 2

    @classmethod
    def setUpClass(cls):
        missing = [p for p in (SOFTHSM2, SOFTHSM2_UTIL, PKCS11_TOOL) if not os.path.exists(p)]
        if missing:
            raise fixture.unittest.SkipTest("not installed: " + ", ".join(missing))
        super().setUpClass()

    @classmethod
    def prepare(cls):
        cls.fill_token()
        cls.world.env["KORVAN_TOKEN_LIBRARY"] = SOFTHSM2
        cls.write_grants(True)

    @classmethod
    def ready(cls):
        cls.server, cls.ungranted_server = cls.servers
        open_page(cls.driver, cls.server)

    @classmethod
    def write_grants(cls, granted):
        """The user's bridge.conf, as an administrator would write the machine's: SoftHSM2's
        settings variable and its token folder granted to the worker, or nothing."""
        folder = os.path.join(cls.world.env["XDG_CONFIG_HOME"], "korvanng")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "bridge.conf"), "w") as f:
            if granted:
                f.write("token-env = SOFTHSM2_CONF\ntoken-path = %s\n" % cls.softhsm)

    @classmethod
    def fill_token(cls):
        world = cls.world
        # SoftHSM2's own folder, outside the software token's store and the home folder.
        cls.softhsm = os.path.join(world.root, "softhsm")
        os.makedirs(os.path.join(cls.softhsm, "tokens"))
        conf = os.path.join(cls.softhsm, "softhsm2.conf")
        with open(conf, "w") as f:
            f.write("directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n"
                    % cls.softhsm)
        world.env["SOFTHSM2_CONF"] = conf
        cls.tool_env = dict(world.env)
        run([SOFTHSM2_UTIL, "--init-token", "--free", "--label", "Page token", "--so-pin", "11223344",
             "--pin", fixture.USER_PIN], env=cls.tool_env)
        cls.identity = fixture.Identity(world.root, "hsm", "Page Signer")
        public = os.path.join(world.root, "hsm.pub")
        run(["openssl", "pkey", "-in", cls.identity.key, "-pubout", "-out", public])
        for path, kind in ((cls.identity.key, "privkey"), (public, "pubkey"),
                           (cls.identity.certificate, "cert")):
            cls.pkcs11_tool("--write-object", path, "--type", kind, "--id", KEY_ID, "--label", "Page Signer")
        cls.objects_before = cls.token_objects()

    @classmethod
    def pkcs11_tool(cls, *args):
        return run([PKCS11_TOOL, "--module", SOFTHSM2, "--login", "--pin", fixture.USER_PIN] + list(args),
                   env=cls.tool_env).stdout

    @classmethod
    def token_objects(cls):
        listing = cls.pkcs11_tool("--list-objects")
        return sorted(line.split(";")[0] for line in listing.splitlines() if " Object;" in line)

    def stored_certificate_key(self):
        """The SubjectPublicKeyInfo of the certificate as the token holds it."""
        der = os.path.join(self.world.root, "stored.der")
        self.pkcs11_tool("--read-object", "--type", "cert", "--id", KEY_ID, "--output-file", der)
        pem = run(["openssl", "x509", "-inform", "DER", "-in", der, "-pubkey", "-noout"]).stdout
        spki = os.path.join(self.world.root, "stored.pub")
        with open(spki, "w") as f:
            f.write(pem)
        out = os.path.join(self.world.root, "stored.spki")
        run(["openssl", "pkey", "-pubin", "-in", spki, "-outform", "DER", "-out", out])
        with open(out, "rb") as f:
            return f.read()

    def run_flow(self, expression):
        got = call(self.driver, "return outcome(() => %s);" % expression)
        self.assertNotIn("error", got, got)
        return got["value"]

    def test_page_signs_with_the_stored_key(self):
        got = self.run_flow("certificateFamily('', %r)" % TEXT)
        self.assertEqual([got["online"], got["chosen"], got["hashed"], got["signed"]], [0, 0, 0, 0], got)
        self.assertEqual(got["name"], "Page Signer")
        self.assertTrue(ssl.verifies_md5(self.stored_certificate_key(), TEXT.encode("cp1252"),
                                         bytes.fromhex(got["signature"])))
        self.assertEqual([got["verified"], got["forged"]], [0, 4])
        self.assertEqual(len(got["tokenSerial"]), 16, got)

    def test_generated_key_signs_and_is_deleted_leaving_the_token_as_it_was(self):
        got = self.run_flow("enrolment(%r)" % TEXT)
        self.assertEqual([got["generated"], got["signed"], got["verified"], got["deleted"]], [0, 0, 0, 0], got)
        signature = bytes.fromhex(got["signature"])[::-1]
        self.assertTrue(ssl.verifies_md5(ssl.spki_from_public_key_blob(bytes.fromhex(got["publicKey"])),
                                         TEXT.encode("cp1252") + b"\0", signature))
        self.assertEqual(self.token_objects(), self.objects_before)

    def test_without_the_grants_the_page_is_told_and_the_bridge_lives_on(self):
        self.write_grants(False)
        try:
            open_page(self.driver, self.ungranted_server)
            got = call(self.driver, "return outcome(() => certificateFamily('', %r));" % TEXT)
            self.assertNotIn("error", got, got)
            # SoftHSM2 finds neither its settings nor its tokens: no token, nothing signed.
            self.assertNotEqual(got["value"]["online"], 0, got)
            self.assertNotEqual(got["value"]["signed"], 0, got)
            self.assertIsNone(self.bridge.process.poll(), self.bridge.log_text())
            # One line for each of the first worker's two grants; none from this worker.
            self.assertEqual(self.bridge.log_text().count("grants the token module"), 2, self.bridge.log_text())
        finally:
            self.write_grants(True)
            open_page(self.driver, self.server)


if __name__ == "__main__":
    fixture.main()
