"""What one origin does with the controls stays with it: two origins each choose a certificate
and neither sees the other's, while the pages of one origin share their module's state; and a
token pulled in the middle of a sequence fails that sequence without ending its worker."""


import fixture
from fixture import call, open_page

READ = """
    const o = new ActiveXObject(arguments[0]);
    return {name: o.GetCertName, nameEx: o.GetCertName_Ex};
"""


class IsolationTest(fixture.BrowserTest):
    page_servers = 2

    @classmethod
    def ready(cls):
        cls.first, cls.second = cls.servers

    def test_each_origin_keeps_its_own_choice(self):
        open_page(self.driver, self.first)
        chosen = call(self.driver, """
            const o = new ActiveXObject("QXMeridiaControl.SGN");
            return [o.IsOnline, o.SetCertResult, o.GetCertName];
        """)
        self.assertEqual(chosen, [0, 0, "Plain Signer"])

        open_page(self.driver, self.second)
        # No family of this origin is online yet: the getters write no value.
        self.assertEqual(call(self.driver, READ, "QXMeridiaControl.SGN"), {"name": None, "nameEx": None})
        chosen = call(self.driver, """
            const o = new ActiveXObject("QXMeridiaControl.SGN");
            return [o.IsOnline_Ex, o.SetCertResult_Ex, o.GetCertName_Ex];
        """)
        self.assertEqual(chosen, [0, 0, "Enrol Signer_TQB"])

        # A new page of the first origin, through the other ProgID, sees its own origin's choice
        # and not the second origin's.
        open_page(self.driver, self.first)
        self.assertEqual(call(self.driver, READ, "QXMeridiaControl.SGN.1"),
                         {"name": "Plain Signer", "nameEx": None})
        open_page(self.driver, self.second)
        self.assertEqual(call(self.driver, READ, "QXMeridiaControl.SGN"),
                         {"name": None, "nameEx": "Enrol Signer_TQB"})

    def test_token_pulled_in_the_middle_of_a_sequence(self):
        open_page(self.driver, self.first)
        ready = call(self.driver, """
            window.o = new ActiveXObject("QXMeridiaControl.SGN");
            return [o.IsOnline, o.SetCertResult, o.SignResult("before")];
        """)
        self.assertEqual(ready, [0, 0, 0])
        pins = self.world.pin_requests()
        self.world.remove()
        try:
            pulled = call(self.driver, "return [o.SignResult('during'), o.RefreshToken, o.GetTokenSerial];")
        finally:
            self.world.insert("pair")
        # The chosen container does not open without the token; no token is counted.
        self.assertEqual(pulled, [3, -1, "-1"])
        # The same object goes on once the token is back, after a new PIN step.
        again = call(self.driver, "return [o.IsOnline, o.SetCertResult, o.SignResult('after'), o.GetCertName];")
        self.assertEqual(again, [0, 0, 0, "Plain Signer"])
        self.assertGreater(self.world.pin_requests(), pins)


if __name__ == "__main__":
    fixture.main()
