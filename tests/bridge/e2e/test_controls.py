"""Both signing controls scripted by a page in a real browser, through the bridge, against the
software token; every signature is verified and every ciphertext decrypted by openssl."""

import hashlib

import fixture
import openssl_checks as ssl
from fixture import call, open_page

# Characters of code page 1252 beyond ASCII: the controls sign the 1252 bytes.
TEXT = "Überweisung 100 € an Müller"
SECRET = "geheim: 4711 €"


class ControlTest(fixture.BrowserTest):
    token = "pair"

    @classmethod
    def prepare(cls):
        if cls.token != "pair":
            cls.world.remove()
            cls.world.insert(cls.token)

    @classmethod
    def ready(cls):
        open_page(cls.driver, cls.pages)

    def run_flow(self, expression):
        got = call(self.driver, "return outcome(() => %s);" % expression)
        self.assertNotIn("error", got, got)
        return got["value"]

    def check_certificate_family(self, got, identity):
        self.assertEqual([got["online"], got["chosen"], got["hashed"], got["signed"]], [0, 0, 0, 0], got)
        self.assertEqual(got["name"], identity.common_name)
        self.assertEqual(int(got["serial"], 16), ssl.certificate_serial(identity.certificate))
        key = bytes.fromhex(got["key"])
        self.assertEqual(key, ssl.rsa_public_key_der(identity.key))
        self.assertEqual(got["hash"], hashlib.md5(TEXT.encode("cp1252")).hexdigest().upper())
        self.assertTrue(ssl.verifies_md5(ssl.spki_from_rsa_public_key(key), TEXT.encode("cp1252"),
                                         bytes.fromhex(got["signature"])))
        self.assertEqual([got["verified"], got["forged"]], [0, 4])
        self.assertRegex(got["random"], r"^[0-9A-F]{32}$")
        self.assertEqual(len(got["tokenSerial"]), 16)
        self.assertEqual(got["tokens"], 1)


class SgnTest(ControlTest):
    def test_base_family_signs_with_the_unmarked_certificate(self):
        self.check_certificate_family(self.run_flow("certificateFamily('', %r)" % TEXT), self.world.plain)

    def test_ex_family_signs_with_the_marked_certificate(self):
        self.check_certificate_family(self.run_flow("certificateFamily('_Ex', %r)" % TEXT), self.world.marked)

    def test_enrolment_key_signs_and_is_deleted(self):
        got = self.run_flow("enrolment(%r)" % TEXT)
        self.assertEqual([got["waitingBefore"], got["generated"], got["signed"], got["verified"],
                          got["deleted"], got["waitingAfter"]], [4, 0, 0, 0, 0, 4], got)
        self.assertNotEqual(got["container"], "FALSE")
        blob = bytes.fromhex(got["publicKey"])
        # CryptoAPI byte order: least significant byte first; the text is signed with its zero.
        signature = bytes.fromhex(got["signature"])[::-1]
        self.assertTrue(ssl.verifies_md5(ssl.spki_from_public_key_blob(blob),
                                         TEXT.encode("cp1252") + b"\0", signature))
        self.assertEqual(len(got["tokenSerial"]), 16)


class VaultoraTest(ControlTest):
    # One certificate only: this control and the md_ family offer every certificate, and a
    # headless run must not open the choice dialog.
    token = "single"

    def test_signs_and_decrypts_what_openssl_can_read(self):
        got = self.run_flow("vaultora(%r, %r)" % (TEXT, SECRET))
        only = self.world.only
        self.assertEqual([got["online"], got["chosen"], got["signed"], got["verified"]], [0, 0, 0, 0], got)
        self.assertEqual(got["name"], only.common_name)
        self.assertEqual(bytes.fromhex(got["content"]), ssl.certificate_der(only.certificate))
        key = bytes.fromhex(got["key"])
        self.assertTrue(ssl.verifies_md5(ssl.spki_from_rsa_public_key(key), TEXT.encode("cp1252"),
                                         bytes.fromhex(got["signature"])))
        # CryptByPukey gives the ciphertext least significant byte first.
        ciphertext = ssl.from_base64(got["cipher"])[::-1]
        self.assertEqual(ssl.decrypt(only.key, ciphertext), SECRET.encode("cp1252"))
        self.assertEqual(got["plain"], SECRET)

    def test_md_family_signs_through_the_other_provider(self):
        self.check_certificate_family(self.run_flow("certificateFamily('md_', %r)" % TEXT), self.world.only)

    def test_versioned_prog_ids_create_the_same_controls(self):
        got = call(self.driver, """
            return ["QXMeridiaControl.SGN.1", "MeridiaVaultora.MeridiaCtrl.1"]
                .map(p => outcome(() => typeof new ActiveXObject(p).IsOnline));
        """)
        self.assertEqual(got, [{"value": "number"}, {"value": "number"}])


if __name__ == "__main__":
    fixture.main()
