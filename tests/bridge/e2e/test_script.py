"""The page's side of activex.js in a real browser against the real bridge: how a control object
reads in the legacy form, the Promise form and its order, and a bridge that is not running."""

import unittest

import fixture
from fixture import call, call_async, open_page

SGN = "QXMeridiaControl.SGN"


class ScriptTest(fixture.BrowserTest):
    def setUp(self):
        open_page(self.driver, self.pages)

    def test_legacy_object_reads_as_the_old_one_did(self):
        got = call(self.driver, """
            const sent = () => window.requestsSent;
            const r = {};
            r.defined = typeof window.ActiveXObject;
            let before = sent();
            r.xmlhttp = ["Microsoft.XMLHTTP", "msxml2.xmlhttp", "Msxml2.XMLHTTP.3.0", "Msxml2.XMLHTTP.6.0"]
                .map(p => new ActiveXObject(p) instanceof XMLHttpRequest);
            r.xmlhttpRequests = sent() - before;
            const o = new ActiveXObject("%s");
            r.freshHash = outcome(() => o.GetHash);
            before = sent();
            r.online = o.IsOnline;
            r.onlineAgain = o.isonline;
            r.readsAreCalls = sent() - before;
            r.called = outcome(() => o.IsOnline());
            before = sent();
            r.keys = Object.keys(o).length + Object.getOwnPropertyNames(o).length;
            r.json = JSON.stringify(o);
            r.text = String(o);
            r.plain = [typeof o.then, typeof o.toJSON, typeof o.toString, typeof o.valueOf,
                       o.constructor === Object, o[Symbol.toPrimitive] === undefined,
                       Object.prototype.toString.call(o)];
            r.unknown = outcome(() => o.NoSuchMember);
            r.plainRequests = sent() - before;
            r.inOperator = ["SignResult" in o, "signresult" in o, "NoSuchMember" in o];
            r.signType = typeof o.SignResult;
            r.random = outcome(() => o.GenRandomNumber(16));
            r.randomNull = outcome(() => o.GenRandomNumber(null));
            r.randomCount = outcome(() => o.GenRandomNumber());
            r.unregistered = outcome(() => new ActiveXObject("No.Such.Control"));
            return r;
        """ % SGN)
        self.assertEqual(got["defined"], "function")
        self.assertEqual(got["xmlhttp"], [True] * 4)
        self.assertEqual(got["xmlhttpRequests"], 0)
        # A fresh worker: no family is online, so GetHash writes no value.
        self.assertEqual(got["freshHash"], {"value": None})
        self.assertEqual(got["online"], 0)
        self.assertEqual(got["onlineAgain"], 0)
        self.assertEqual(got["readsAreCalls"], 2)
        self.assertEqual(got["called"]["type"], "TypeError")
        self.assertEqual(got["keys"], 0)
        self.assertEqual(got["json"], "{}")
        self.assertEqual(got["text"], "[object Object]")
        self.assertEqual(got["plain"], ["undefined", "undefined", "function", "function", True, True,
                                        "[object Object]"])
        self.assertEqual(got["unknown"]["error"], "KorvanControls: no such member: NoSuchMember")
        self.assertEqual(got["plainRequests"], 0)
        self.assertEqual(got["inOperator"], [True, True, False])
        self.assertEqual(got["signType"], "function")
        self.assertRegex(got["random"]["value"], r"^[0-9A-F]{16}$")
        self.assertTrue(got["randomNull"]["error"].startswith("KorvanControls: bad request: "),
                        got["randomNull"])
        self.assertTrue(got["randomCount"]["error"].startswith("KorvanControls: bad request: "),
                        got["randomCount"])
        self.assertEqual(got["unregistered"]["error"],
                         "KorvanControls: ProgID not registered: No.Such.Control")

    def test_await_on_a_legacy_object_gives_the_object(self):
        got = call_async(self.driver, """
            const o = new ActiveXObject("%s");
            const before = window.requestsSent;
            const same = (await o) === o;
            return [same, window.requestsSent - before];
        """ % SGN)
        self.assertEqual(got, {"value": [True, 0]})

    def test_promise_form_sends_one_call_at_a_time_in_order(self):
        got = call_async(self.driver, """
            let inFlight = 0, most = 0;
            const fetchNow = window.fetch;
            window.fetch = async function () {
                inFlight += 1;
                most = Math.max(most, inFlight);
                try { return await fetchNow.apply(this, arguments); } finally { inFlight -= 1; }
            };
            const o = await KorvanControls.create("%s");
            const kinds = [typeof o.IsOnline, typeof o.then];
            // All made at once, none awaited before the next is made.
            const calls = [o.IsOnline(), o.SetCertResult(), o.GenRandomNumber(null), o.SignResult("first"),
                           o.GetSignature(), o.SignResult("second"), o.GetSignature()];
            const settled = await Promise.allSettled(calls);
            const bad = await KorvanControls.create("No.Such.Control").then(() => "created", e => e.message);
            return {kinds: kinds, most: most,
                    results: settled.map(s => s.status === "fulfilled" ? s.value : "error: " + s.reason.message),
                    bad: bad};
        """ % SGN)
        self.assertNotIn("error", got)
        value = got["value"]
        self.assertEqual(value["kinds"], ["function", "undefined"])
        self.assertEqual(value["most"], 1)
        results = value["results"]
        self.assertEqual(results[0:2], [0, 0])
        self.assertTrue(results[2].startswith("error: KorvanControls: bad request: "), results[2])
        self.assertEqual(results[3], 0)
        self.assertEqual(results[5], 0)
        # Each GetSignature read the signature of the SignResult just before it.
        self.assertRegex(results[4], r"^[0-9A-F]{512}$")
        self.assertRegex(results[6], r"^[0-9A-F]{512}$")
        self.assertNotEqual(results[4], results[6])
        self.assertEqual(value["bad"], "KorvanControls: ProgID not registered: No.Such.Control")


class StoppedBridgeTest(unittest.TestCase):
    def test_a_stopped_bridge_is_the_service_not_running(self):
        with fixture.World() as world:
            bridge, (pages,) = world.start()
            driver = world.browser()
            open_page(driver, pages)
            call(driver, "window.o = new ActiveXObject('%s'); window.p = null;" % SGN)
            promised = call_async(driver, "window.p = await KorvanControls.create('%s'); return 1;" % SGN)
            self.assertEqual(promised, {"value": 1})
            bridge.stop()
            got = call(driver, """
                return [outcome(() => o.IsOnline), outcome(() => new ActiveXObject('%s'))];
            """ % SGN)
            self.assertEqual([g.get("error") for g in got],
                             ["KorvanControls: the signing service is not running"] * 2)
            later = call_async(driver, "return await p.IsOnline();")
            self.assertEqual(later, {"error": "KorvanControls: the signing service is not running"})
            # A page loaded while the bridge is down has no ActiveXObject at all.
            open_page(driver, pages)
            self.assertEqual(call(driver, "return [typeof ActiveXObject, typeof KorvanControls];"),
                             ["undefined", "undefined"])


if __name__ == "__main__":
    fixture.main()
