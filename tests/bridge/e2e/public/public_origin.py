"""What a bank's public https site sees of the controls, in any browser: a site whose user
granted the loopback-network permission scripts both controls in both page forms (signatures
checked by openssl); a site whose user denied it sees the bridge as down, and the bridge hears
nothing of it. A browser's test module derives from PublicOriginTest and says how to start it."""

import hashlib
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import fixture  # noqa: E402
import openssl_checks as ssl  # noqa: E402
from fixture import call, call_async, open_page  # noqa: E402

TEXT = "Überweisung 100 € an Müller"
SECRET = "geheim: 4711 €"
GRANTED_HOST = "bank.example"
DENIED_HOST = "shop.example"

with open(os.path.join(HERE, "promise_flows.js"), encoding="utf-8") as _f:
    PROMISE_FLOWS = _f.read()

BRIDGE_DOWN = "return [typeof ActiveXObject, typeof KorvanControls, document.getElementById('loaded') !== null];"


def quiet_log_size(bridge):
    """The bridge log's size once its start-up lines are written: from then on a page the
    browser keeps from the bridge must not add a byte."""
    deadline = time.monotonic() + 10
    while "approval dialogs:" not in bridge.log_text() and time.monotonic() < deadline:
        time.sleep(0.05)
    return os.path.getsize(bridge.log_path)


def single_token(world):
    """One unmarked certificate only: every family and both controls choose it without the
    choice dialog, which a headless run cannot answer."""
    world.remove()
    world.insert("single")


class PublicOriginTest(fixture.BrowserTest):
    """Both origins are approved in the bridge, so only the browser's permission tells them
    apart."""

    @classmethod
    def setUpClass(cls):
        cls.world = fixture.World()
        try:
            single_token(cls.world)
            cls.tls = cls.world.certificate([GRANTED_HOST, DENIED_HOST, "plain.example"])
            cls.bridge, cls.servers = cls.world.start(
                pages=0, public=[(GRANTED_HOST, cls.tls), (DENIED_HOST, cls.tls)] + cls.more_public())
            cls.granted, cls.denied = cls.servers[0], cls.servers[1]
            cls.driver = cls.start_browser(cls.servers)
            fixture.set_loopback_permission(cls.driver, cls.granted.origin, "granted")
            fixture.set_loopback_permission(cls.driver, cls.denied.origin, "denied")
        except BaseException:
            cls.world.close()
            raise

    @classmethod
    def more_public(cls):
        return []

    @classmethod
    def start_browser(cls, public):
        raise NotImplementedError

    def legacy(self, expression):
        open_page(self.driver, self.granted)
        got = call(self.driver, "return outcome(() => %s);" % expression)
        self.assertNotIn("error", got, got)
        return got["value"]

    def promised(self, expression):
        open_page(self.driver, self.granted)
        got = call_async(self.driver, PROMISE_FLOWS + "\nreturn await %s;" % expression)
        self.assertNotIn("error", got, got)
        return got["value"]

    def check_certificate_family(self, got):
        only = self.world.only
        self.assertEqual([got["online"], got["chosen"], got["hashed"], got["signed"]], [0, 0, 0, 0], got)
        self.assertEqual(got["name"], only.common_name)
        self.assertEqual(int(got["serial"], 16), ssl.certificate_serial(only.certificate))
        key = bytes.fromhex(got["key"])
        self.assertEqual(key, ssl.rsa_public_key_der(only.key))
        self.assertEqual(got["hash"], hashlib.md5(TEXT.encode("cp1252")).hexdigest().upper())
        self.assertTrue(ssl.verifies_md5(ssl.spki_from_rsa_public_key(key), TEXT.encode("cp1252"),
                                         bytes.fromhex(got["signature"])))
        self.assertEqual([got["verified"], got["forged"]], [0, 4])
        self.assertRegex(got["random"], r"^[0-9A-F]{32}$")
        self.assertEqual(len(got["tokenSerial"]), 16)
        self.assertEqual(got["tokens"], 1)

    def check_vaultora(self, got):
        only = self.world.only
        self.assertEqual([got["online"], got["chosen"], got["signed"], got["verified"]], [0, 0, 0, 0], got)
        self.assertEqual(got["name"], only.common_name)
        self.assertEqual(bytes.fromhex(got["content"]), ssl.certificate_der(only.certificate))
        key = bytes.fromhex(got["key"])
        self.assertTrue(ssl.verifies_md5(ssl.spki_from_rsa_public_key(key), TEXT.encode("cp1252"),
                                         bytes.fromhex(got["signature"])))
        ciphertext = ssl.from_base64(got["cipher"])[::-1]  # least significant byte first
        self.assertEqual(ssl.decrypt(only.key, ciphertext), SECRET.encode("cp1252"))
        self.assertEqual(got["plain"], SECRET)

    def test_granted_site_signs_with_the_qx_control_in_both_forms(self):
        self.check_certificate_family(self.legacy("certificateFamily('', %r)" % TEXT))
        self.check_certificate_family(self.promised("certificateFamilyPromised('', %r)" % TEXT))

    def test_granted_site_signs_and_decrypts_with_vaultora_in_both_forms(self):
        self.check_vaultora(self.legacy("vaultora(%r, %r)" % (TEXT, SECRET)))
        self.check_vaultora(self.promised("vaultoraPromised(%r, %r)" % (TEXT, SECRET)))

    def test_denied_site_sees_the_bridge_down_and_the_bridge_hears_nothing(self):
        before = quiet_log_size(self.bridge)
        open_page(self.driver, self.denied)
        self.assertEqual(call(self.driver, BRIDGE_DOWN), ["undefined", "undefined", True])
        # Nor does a request of its own reach the bridge.
        got = call_async(self.driver, """
            const r = await fetch(arguments[0] + "/korvan/v1/call", {method: "POST",
                body: JSON.stringify({v: 1, op: "create", progId: "QXMeridiaControl.SGN"})});
            return r.status;
        """, self.bridge.base)
        self.assertIn("error", got, got)
        self.assertEqual(os.path.getsize(self.bridge.log_path), before, self.bridge.log_text())
