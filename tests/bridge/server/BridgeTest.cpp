// The bridge in process, with a scripted user and the fake worker, driven over loopback HTTP.
#include "tests/bridge/server/BridgeFixture.h"

#include "bridge/server/PeerUid.h"

using namespace bridge_test;


TEST_F(BridgeTest, ForeignHostIsRefusedOnEveryRouteWithCors) {
    start();
    httplib::Client client("127.0.0.1", port);
    const httplib::Headers foreign = {{"Host", "attacker.example:" + std::to_string(port)},
                                      {"Origin", kAllowed}};
    auto script = client.Get("/korvan/activex.js", foreign);
    ASSERT_TRUE(script);
    EXPECT_EQ(script->status, 403);
    EXPECT_EQ(json::parse(script->body)["error"], "bad request: foreign Host");
    EXPECT_EQ(script->get_header_value("Access-Control-Allow-Origin"), kAllowed);

    auto preflight = client.Options("/korvan/v1/call", foreign);
    ASSERT_TRUE(preflight);
    EXPECT_EQ(preflight->status, 403);

    const Reply refused = post(kAllowed, R"({"v":1,"op":"create","progId":"Fake.Control"})",
                               {{"Host", "127.0.0.1:" + std::to_string(port + 1)}});
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(refused.error(), "bad request: foreign Host");
    EXPECT_FALSE(logged("started")) << "no worker for a refused Host";

    // localhost is one of the bridge's own names.
    auto local = client.Get("/korvan/activex.js", {{"Host", "localhost:" + std::to_string(port)}});
    ASSERT_TRUE(local);
    EXPECT_EQ(local->status, 200);
}

TEST_F(BridgeTest, ScriptIsServedToAnyOriginWithoutAsking) {
    config.allowList.clear();
    start();
    httplib::Client client("127.0.0.1", port);
    auto plain = client.Get("/korvan/activex.js");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->status, 200);
    EXPECT_EQ(plain->body, std::string(pageScript()));
    EXPECT_FALSE(plain->body.empty());
    EXPECT_EQ(plain->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_EQ(plain->get_header_value("Cache-Control"), "no-cache");
    EXPECT_FALSE(plain->has_header("Access-Control-Allow-Origin"));
    // The pinned path names its bytes: the browser may keep them.
    auto pinned = client.Get("/korvan/v1/activex-" + std::string(newestScript().sha384Hex) + ".js");
    ASSERT_TRUE(pinned);
    EXPECT_EQ(pinned->status, 200);
    EXPECT_EQ(pinned->body, std::string(pageScript()));
    EXPECT_EQ(pinned->get_header_value("Cache-Control"), "public, max-age=31536000, immutable");

    auto head = client.Head("/korvan/activex.js", {{"Origin", kOther}});
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_TRUE(head->body.empty());
    EXPECT_EQ(head->get_header_value("Access-Control-Allow-Origin"), kOther);
    EXPECT_EQ(head->get_header_value("Vary"), "Origin");
    EXPECT_TRUE(user.approvalsAsked.empty());
}

// Compression would cost far more than it saves on loopback (brotli took 12 ms for the script).
TEST_F(BridgeTest, AnswersGoOutUncompressedWhateverTheBrowserOffers) {
    start();
    httplib::Client client("127.0.0.1", port);
    client.set_decompress(false);
    const httplib::Headers offers = {{"Accept-Encoding", "gzip, deflate, br"}, {"Origin", kAllowed}};
    auto script = client.Get("/korvan/activex.js", offers);
    ASSERT_TRUE(script);
    EXPECT_EQ(script->status, 200);
    EXPECT_FALSE(script->has_header("Content-Encoding"));
    EXPECT_TRUE(script->body == pageScript()) << "the script's own text";

    for (const char* body : {R"({"v":1,"op":"create","progId":"Fake.Control"})", "not json"}) {
        auto answer = client.Post("/korvan/v1/call", offers, body, "text/plain;charset=UTF-8");
        ASSERT_TRUE(answer);
        EXPECT_FALSE(answer->has_header("Content-Encoding")) << answer->status;
        EXPECT_EQ(answer->get_header_value("Content-Type"), "application/json");
        EXPECT_FALSE(json::parse(answer->body, nullptr, false).is_discarded()) << answer->body;
    }
    // The library's own refusal, filled in by the bridge's error handler.
    auto missing = client.Get("/korvan/nothing", offers);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);
    EXPECT_FALSE(missing->has_header("Content-Encoding"));
    EXPECT_EQ(json::parse(missing->body, nullptr, false).value("error", ""), "bad request: no such path");
}

TEST_F(BridgeTest, CallsWithoutUsableOriginAreRefused) {
    start();
    const std::string body = R"({"v":1,"op":"create","progId":"Fake.Control"})";
    const Reply none = post("", body);
    EXPECT_EQ(none.status, 403);
    EXPECT_EQ(none.error(), "origin not approved");
    EXPECT_EQ(none.header("Access-Control-Allow-Origin"), "");

    const Reply null = post("null", body);
    EXPECT_EQ(null.status, 403);
    EXPECT_EQ(null.error(), "origin not approved");
    EXPECT_EQ(null.header("Access-Control-Allow-Origin"), "null");
    EXPECT_EQ(null.header("Vary"), "Origin");

    const Reply twice = post(kAllowed, body, {{"Origin", kAllowed}});
    EXPECT_EQ(twice.status, 403) << "two Origin headers are not one origin";
    EXPECT_TRUE(user.approvalsAsked.empty());
    EXPECT_FALSE(logged("started"));
}

TEST_F(BridgeTest, UndecidedOriginIsRefusedWhenNoDialogIsPossible) {
    user.ask = false;
    start();
    const Reply refused = create(kBank);
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(refused.error(), "origin not approved");
    EXPECT_EQ(refused.header("Access-Control-Allow-Origin"), kBank);

    // Plain http elsewhere than loopback can never be approved, so it is never asked about.
    user.ask = true;
    EXPECT_EQ(create("http://shop.example").status, 403);
    EXPECT_TRUE(user.approvalsAsked.empty());
    EXPECT_EQ(decisions.decision(kBank), Decision::undecided);
}

TEST_F(BridgeTest, ApprovalAnswersAreKeptAsTheUserChose) {
    user.approvals = {ApprovalAnswer{true, true}, ApprovalAnswer{false, false}, std::nullopt};
    start();

    EXPECT_EQ(create(kBank).status, 200);
    EXPECT_EQ(create(kBank).status, 200);
    EXPECT_EQ(DecisionStore().decision(kBank), Decision::allowed) << "remembered across runs";

    EXPECT_EQ(create(kOther).status, 403);
    EXPECT_EQ(create(kOther).status, 403);
    EXPECT_EQ(DecisionStore().decision(kOther), Decision::undecided) << "denied for this run only";

    // A dialog left unanswered denies the origin for this run, so that it cannot raise another;
    // nothing is kept for later runs.
    const std::string third = "https://third.example";
    EXPECT_EQ(create(third).status, 403);
    EXPECT_EQ(decisions.decision(third), Decision::denied);
    EXPECT_EQ(DecisionStore().decision(third), Decision::undecided);

    const std::vector<std::string> expected = {kBank, kOther, third};
    EXPECT_EQ(user.approvalsAsked, expected);
}

TEST_F(BridgeTest, AtMostThreeApprovalDialogsAMinuteForOneSite) {
    start();
    for (int i = 0; i < 4; ++i) {
        const std::string origin = "https://s" + std::to_string(i) + ".site.example";
        const Reply reply = create(origin);
        EXPECT_EQ(reply.status, 403);
        EXPECT_EQ(reply.header("Access-Control-Allow-Origin"), origin);
    }
    EXPECT_EQ(user.approvalsAsked.size(), 3u);
    EXPECT_TRUE(logged("too many dialogs"));
}

TEST_F(BridgeTest, PreflightAnswersByDecisionAndNeverAsks) {
    ASSERT_TRUE(decisions.remember(kOther, Decision::denied, true));
    start();
    httplib::Client client("127.0.0.1", port);
    auto preflight = [&](const std::string& origin, httplib::Headers extra = {}) {
        extra.emplace("Origin", origin);
        extra.emplace("Access-Control-Request-Method", "POST");
        auto result = client.Options("/korvan/v1/call", extra);
        EXPECT_TRUE(result);
        return result;
    };
    auto approved = preflight(kAllowed, {{"Access-Control-Request-Private-Network", "true"}});
    EXPECT_EQ(approved->status, 204);
    EXPECT_EQ(approved->get_header_value("Access-Control-Allow-Origin"), kAllowed);
    EXPECT_EQ(approved->get_header_value("Access-Control-Allow-Methods"), "POST");
    EXPECT_EQ(approved->get_header_value("Access-Control-Allow-Headers"), "Content-Type");
    EXPECT_EQ(approved->get_header_value("Access-Control-Max-Age"), "600");
    EXPECT_EQ(approved->get_header_value("Access-Control-Allow-Private-Network"), "true");
    EXPECT_FALSE(approved->has_header("Access-Control-Allow-Local-Network"));

    auto undecided = preflight(kBank, {{"Access-Control-Request-Local-Network", "true"}});
    EXPECT_EQ(undecided->status, 204);
    EXPECT_EQ(undecided->get_header_value("Access-Control-Allow-Local-Network"), "true");
    EXPECT_FALSE(undecided->has_header("Access-Control-Allow-Private-Network"));

    auto denied = preflight(kOther);
    EXPECT_EQ(denied->status, 403);
    EXPECT_EQ(denied->get_header_value("Access-Control-Allow-Origin"), kOther);
    EXPECT_TRUE(user.approvalsAsked.empty());
}

TEST_F(BridgeTest, MalformedOrUnlistedRequestsChangeNothing) {
    start();
    const Reply broken = post(kAllowed, "{\"v\":1,\"op\":");
    EXPECT_EQ(broken.status, 400);
    EXPECT_EQ(broken.error().rfind("bad request: ", 0), 0u) << broken.error();
    EXPECT_EQ(broken.header("Access-Control-Allow-Origin"), kAllowed);

    // Nobody is asked about a request that is not one.
    const Reply garbage = post(kBank, "[]");
    EXPECT_EQ(garbage.status, 400);
    EXPECT_TRUE(user.approvalsAsked.empty());

    const Reply unlisted = create(kAllowed, "Other.Control");
    EXPECT_EQ(unlisted.status, 404);
    EXPECT_EQ(unlisted.error(), "ProgID not registered: Other.Control");
    EXPECT_FALSE(logged("started")) << "an unlisted ProgID starts no worker";

    httplib::Client client("127.0.0.1", port);
    auto nowhere = client.Get("/elsewhere", {{"Origin", kAllowed}});
    ASSERT_TRUE(nowhere);
    EXPECT_EQ(nowhere->status, 404);
    EXPECT_EQ(nowhere->get_header_value("Access-Control-Allow-Origin"), kAllowed);
    EXPECT_FALSE(json::parse(nowhere->body, nullptr, false).value("ok", true));
}

TEST_F(BridgeTest, OversizeBodyIsRefusedFromItsLengthAlone) {
    config.maxBody = 4096;
    start();
    const std::string head = "POST /korvan/v1/call HTTP/1.1\r\nHost: " + host() +
                             "\r\nOrigin: " + kAllowed + "\r\nContent-Type: text/plain;charset=UTF-8\r\n";

    // Only the header is sent: the answer cannot have waited for the body.
    const auto before = std::chrono::steady_clock::now();
    const std::string answer = rawExchange(port, head + "Content-Length: 4097\r\n\r\n", false);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    EXPECT_EQ(answer.rfind("HTTP/1.1 413", 0), 0u) << answer;
    EXPECT_NE(answer.find(std::string("Access-Control-Allow-Origin: ") + kAllowed), std::string::npos);
    EXPECT_NE(answer.find("\"error\":\"bad request: body too large\""), std::string::npos);

    // A request hidden in the refused body is not served: it would carry a forged Origin.
    const std::string smuggled = "POST /korvan/v1/call HTTP/1.1\r\nHost: " + host() + "\r\nOrigin: " +
                                 kAllowed + "\r\nContent-Length: 46\r\n\r\n" +
                                 R"({"v":1,"op":"create","progId":"Fake.Control"})";
    const std::string body = smuggled + std::string(5000 - smuggled.size(), ' ');
    const std::string both = rawExchange(port, head + "Content-Length: 5000\r\n\r\n" + body, false);
    EXPECT_EQ(both.rfind("HTTP/1.1 413", 0), 0u) << both;
    EXPECT_EQ(both.find("HTTP/1.1", 1), std::string::npos) << both;
    EXPECT_FALSE(logged("started"));

    // A body the library would read until the peer closes is refused too.
    const std::string chunked =
        rawExchange(port, head + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", false);
    EXPECT_EQ(chunked.rfind("HTTP/1.1 411", 0), 0u) << chunked;

    // Lengths a proxy and the library might read differently.
    for (const char* lengths : {"Content-Length: 46\r\nContent-Length: 4\r\n", "Content-Length: +46\r\n"}) {
        const std::string odd = rawExchange(port, head + lengths + "\r\n" +
                                                      R"({"v":1,"op":"create","progId":"Fake.Control"})", false);
        EXPECT_EQ(odd.rfind("HTTP/1.1 400", 0), 0u) << odd;
    }
    EXPECT_FALSE(logged("started"));
}

TEST_F(BridgeTest, CrashedWorkerFailsItsCallThenItsObjectsAreReleased) {
    start();
    const std::string object = createObject(kAllowed);
    const Reply pid = call(kAllowed, object, "Pid");
    ASSERT_EQ(pid.status, 200);

    const Reply crashed = call(kAllowed, object, "Crash");
    EXPECT_EQ(crashed.status, 500);
    EXPECT_EQ(crashed.error(), "control failed");
    EXPECT_TRUE(processGone(pid.value()[1].get<pid_t>())) << "the crashed worker is reaped";

    const Reply released = call(kAllowed, object, "Echo", text("x"));
    EXPECT_EQ(released.status, 410);
    EXPECT_EQ(released.error(), "the control was released; create it again");

    const std::string fresh = createObject(kAllowed);
    EXPECT_NE(fresh, object);
    const Reply echoed = call(kAllowed, fresh, "Echo", text("again"));
    EXPECT_EQ(echoed.status, 200);
    EXPECT_EQ(echoed.value(), json::array({"s", "again"}));
    EXPECT_EQ(call(kAllowed, object, "Pid").status, 410) << "the old serial stays released";
}

TEST_F(BridgeTest, CallBudgetExcludesWaitsForTheUser) {
    config.callSeconds = 1;
    start();
    const std::string object = createObject(kAllowed);
    const Reply waited = call(kAllowed, object, "WaitSleep", number(1500));
    EXPECT_EQ(waited.status, 200) << waited.body.dump();
    EXPECT_EQ(waited.value(), json::array({"s", "done"}));

    const auto before = std::chrono::steady_clock::now();
    const Reply overrun = call(kAllowed, object, "Sleep", number(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(2500));
    EXPECT_EQ(overrun.status, 500);
    EXPECT_EQ(overrun.error(), "control failed");
    EXPECT_EQ(call(kAllowed, object, "Pid").status, 410) << "the overrunning worker was killed";
    EXPECT_TRUE(logged("ran out of time"));
}

TEST_F(BridgeTest, OneOriginsCallsRunInOrderAndTheQueueIsBounded) {
    config.maxQueuedCallsPerOrigin = 3;
    start();
    const std::string object = createObject(kAllowed);
    auto busy = std::async(std::launch::async, [&] { return call(kAllowed, object, "Sleep", number(600)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<std::future<Reply>> notes;
    for (const char* note : {"a", "b", "c"}) {
        notes.push_back(std::async(std::launch::async, [&, note] { return call(kAllowed, object, "Note", text(note)); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const Reply overflow = call(kAllowed, object, "Note", text("d"));
    EXPECT_EQ(overflow.status, 503);
    EXPECT_EQ(overflow.error(), "bad request: too many calls waiting");

    EXPECT_EQ(busy.get().status, 200);
    EXPECT_EQ(notes[0].get().value(), json::array({"s", "a"}));
    EXPECT_EQ(notes[1].get().value(), json::array({"s", "a,b"}));
    EXPECT_EQ(notes[2].get().value(), json::array({"s", "a,b,c"}));
}

TEST_F(BridgeTest, OriginsGetWorkersOfTheirOwn) {
    config.allowList = {kAllowed, "HTTPS://Bank.Example:443"};
    config.codePage = 1251;
    start();
    const std::string mine = createObject(kAllowed);
    const std::string theirs = createObject(kBank);
    const Reply myPid = call(kAllowed, mine, "Pid");
    const Reply theirPid = call(kBank, theirs, "Pid");
    ASSERT_EQ(myPid.status, 200);
    ASSERT_EQ(theirPid.status, 200);
    EXPECT_NE(myPid.value(), theirPid.value());
    EXPECT_EQ(call(kBank, theirs, "Env", text("KORVAN_CALLER_ORIGIN")).value(), json::array({"s", kBank}));
    EXPECT_EQ(call(kAllowed, mine, "Env", text("KORVAN_ANSI_CODEPAGE")).value(), json::array({"s", "1251"}));

    // Another origin's object id reaches nothing of that origin.
    EXPECT_EQ(call(kAllowed, theirs, "Pid").status, 410);

    // Nothing of the bridge but the two pipes: no listening socket, no page's connection, and
    // a closed pipe ends the worker as usual.
    EXPECT_EQ(call(kAllowed, mine, "Inherited").value(), json::array({"s", "0 default"}));
}

TEST_F(BridgeTest, WorkerLimitEndsTheLeastRecentlyUsedIdleWorker) {
    config.allowList = {kAllowed, kBank, kOther};
    config.maxWorkers = 2;
    start();
    const std::string first = createObject(kAllowed);
    const std::string second = createObject(kBank);
    ASSERT_EQ(call(kAllowed, first, "Pid").status, 200); // the bank's worker is now the older
    const std::string third = createObject(kOther);
    EXPECT_EQ(call(kBank, second, "Pid").status, 410);
    EXPECT_EQ(call(kAllowed, first, "Pid").status, 200);

    // Both remaining workers busy: no room.
    auto busyA = std::async(std::launch::async, [&] { return call(kAllowed, first, "Sleep", number(800)); });
    auto busyB = std::async(std::launch::async, [&] { return call(kOther, third, "Sleep", number(800)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const Reply full = create(kBank);
    EXPECT_EQ(full.status, 503);
    EXPECT_EQ(full.error(), "control failed");
    EXPECT_EQ(busyA.get().status, 200);
    EXPECT_EQ(busyB.get().status, 200);
}

TEST_F(BridgeTest, DecryptNeedsConfirmationOncePerWorker) {
    ASSERT_TRUE(decisions.remember(kBank, Decision::allowed, true));
    start();
    const std::string object = createObject(kBank);
    user.confirm = false;
    const Reply declined = call(kBank, object, "DecryByPrikey", text("cipher"));
    EXPECT_EQ(declined.status, 200);
    EXPECT_EQ(declined.value(), json::array({"s", "FALSE"}));
    EXPECT_EQ(call(kBank, object, "Count").value(), json::array({"n", 0})) << "the worker was not reached";

    user.confirm = true;
    EXPECT_EQ(call(kBank, object, "decrybyprikey", text("cipher")).value(), json::array({"s", "PLAIN"}));
    EXPECT_EQ(call(kBank, object, "DECRYBYPRIKEY", text("cipher")).value(), json::array({"s", "PLAIN"}));
    EXPECT_EQ(user.decryptsAsked, 2) << "confirmed once for this worker";

    // A fresh worker asks again.
    ASSERT_EQ(call(kBank, object, "Crash").status, 500);
    const std::string fresh = createObject(kBank);
    EXPECT_EQ(call(kBank, fresh, "DecryByPrikey", text("cipher")).value(), json::array({"s", "PLAIN"}));
    EXPECT_EQ(user.decryptsAsked, 3);
}

TEST_F(BridgeTest, DecryptOverTheLimitAnswersFalseWithoutTheWorker) {
    start();
    const std::string object = createObject(kAllowed);
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(call(kAllowed, object, "DecryByPrikey", text("c")).value(), json::array({"s", "PLAIN"})) << i;
    const Reply eleventh = call(kAllowed, object, "DecryByPrikey", text("c"));
    EXPECT_EQ(eleventh.status, 200);
    EXPECT_EQ(eleventh.value(), json::array({"s", "FALSE"}));
    EXPECT_EQ(call(kAllowed, object, "Count").value(), json::array({"n", 10}));
    EXPECT_EQ(user.decryptsAsked, 0) << "pre-approved origins are not asked";
    EXPECT_TRUE(logged("over its limit"));
}

TEST_F(BridgeTest, BothLoopbackAddressesAnswer) {
    const int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 loopback{};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    const bool haveV6 = probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) == 0;
    if (probe >= 0)
        ::close(probe);
    start();
    httplib::Client v4("127.0.0.1", port);
    auto answer4 = v4.Get("/korvan/activex.js");
    ASSERT_TRUE(answer4);
    EXPECT_EQ(answer4->status, 200);
    if (!haveV6)
        GTEST_SKIP() << "this machine has no ::1; only 127.0.0.1 was checked";
    httplib::Client v6("::1", port);
    auto answer6 = v6.Get("/korvan/activex.js", {{"Host", "[::1]:" + std::to_string(port)}});
    ASSERT_TRUE(answer6);
    EXPECT_EQ(answer6->status, 200);
}

TEST_F(BridgeTest, IdleWorkerEndsButNeverDuringACall) {
    config.idleSeconds = 1;
    start();
    const std::string object = createObject(kAllowed);
    const Reply long_call = call(kAllowed, object, "Sleep", number(1500));
    EXPECT_EQ(long_call.status, 200) << "a call longer than the idle time runs to its end";
    const Reply pid = call(kAllowed, object, "Pid");
    ASSERT_EQ(pid.status, 200);

    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_TRUE(processGone(pid.value()[1].get<pid_t>()));
    EXPECT_EQ(call(kAllowed, object, "Pid").status, 410);
    EXPECT_TRUE(logged("idle"));
    EXPECT_EQ(call(kAllowed, createObject(kAllowed), "Note", text("fresh")).value(),
              json::array({"s", "fresh"}));
}

TEST_F(BridgeTest, LogsNameOriginsAndStatusesButNoTexts) {
    start();
    const std::string object = createObject(kAllowed);
    ASSERT_EQ(call(kAllowed, object, "Echo", text("secret-argument")).status, 200);
    EXPECT_TRUE(logged(kAllowed));
    EXPECT_TRUE(logged("call " + object + " Echo: 200"));
    EXPECT_FALSE(logged("secret-argument"));
}

TEST_F(BridgeTest, PortTakenOnEitherLoopbackAddressIsRefusedAndLeftFree) {
    if (!haveV6())
        GTEST_SKIP() << "this machine has no ::1";
    const auto refused = [&](int port, const std::string& expected) {
        config.port = port;
        Bridge taken(config, decisions, user);
        std::string error;
        EXPECT_FALSE(taken.start(error)) << expected;
        EXPECT_EQ(error, expected);
        EXPECT_EQ(taken.port(), 0);
    };
    {
        // Another program on [::1] would answer pages that name localhost.
        const UniqueFd v6 = holdOneSide(AF_INET6);
        ASSERT_GE(v6.get(), 0);
        const int port = portOf(v6);
        refused(port, "cannot listen on [::1]:" + std::to_string(port) + ": port " + std::to_string(port) +
                          " is held by " + describeUid(::getuid()));
        EXPECT_GE(listenOn(AF_INET, port).get(), 0) << "the failed start keeps nothing on 127.0.0.1";
    }
    {
        // A holder that allows sharing, as the HTTP library's own servers do, is refused too.
        const UniqueFd shared = holdOneSide(AF_INET6, true);
        ASSERT_GE(shared.get(), 0);
        const int port = portOf(shared);
        refused(port, "cannot listen on [::1]:" + std::to_string(port) + ": port " + std::to_string(port) +
                          " is held by " + describeUid(::getuid()));
    }
    const UniqueFd v4 = holdOneSide(AF_INET, true);
    ASSERT_GE(v4.get(), 0);
    const int port = portOf(v4);
    refused(port, "cannot listen on 127.0.0.1:" + std::to_string(port) + ": port " + std::to_string(port) +
                      " is held by " + describeUid(::getuid()));
    EXPECT_GE(listenOn(AF_INET6, port).get(), 0) << "nothing kept on [::1]";
    EXPECT_FALSE(logged("listening"));
}

TEST_F(BridgeTest, BridgeStoppedRightAfterItStartedEnds) {
    for (int i = 0; i < 20; ++i) {
        Bridge quick(config, decisions, user);
        std::string error;
        ASSERT_TRUE(quick.start(error)) << error;
    }
    // A restart gets the port back at once, though the connections the bridge closed last are
    // still timing out.
    start();
    const int had = port;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(had));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const std::string request = "GET /korvan/activex.js HTTP/1.1\r\nHost: " + host() + "\r\nConnection: close\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[4096];
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    } // until the bridge closes first
    ::close(fd);
    bridge.reset();
    config.port = had;
    start();
    EXPECT_EQ(port, had);
}

namespace {

// Everything the bridge sends on one connection until it closes it (or `wait` passes).
struct Stream {
    std::string received;
    bool closed = false;
};

Stream sendAndDrain(int port, const std::vector<std::string>& writes, std::chrono::milliseconds wait) {
    Stream stream;
    const UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return stream;
    for (std::size_t i = 0; i < writes.size(); ++i) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::send(fd.get(), writes[i].data(), writes[i].size(), MSG_NOSIGNAL);
    }
    const auto end = std::chrono::steady_clock::now() + wait;
    timeval slice{0, 100000};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
    char buffer[8192];
    while (std::chrono::steady_clock::now() < end) {
        const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n > 0) {
            stream.received.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno == ECONNRESET) {
            stream.closed = true;
            break;
        }
    }
    return stream;
}

std::size_t countOf(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

} // namespace

// A request the bridge answers before reading its body, whose body is a second request with a
// good Host and an approved Origin, padded so that it starts at byte 4096 of the stream. The
// answer must end the connection: what follows is never parsed as a request.
TEST_F(BridgeTest, NothingAfterAnAnswerGivenBeforeTheBodyRuns) {
    ::alarm(120); // a connection left open costs the whole wait
    start();
    const std::string create = R"({"v":1,"op":"create","progId":"Fake.Control"})";
    const std::string smuggled = "POST /korvan/v1/call HTTP/1.1\r\nHost: " + host() + "\r\nOrigin: " + kAllowed +
                                 "\r\nContent-Type: text/plain;charset=UTF-8\r\nContent-Length: " +
                                 std::to_string(create.size()) + "\r\n\r\n" + create;
    const std::string good = "Host: " + host() + "\r\nOrigin: " + std::string(kAllowed) + "\r\n";
    struct Case {
        const char* name;
        std::string head; // with a {length} where the body's length goes
        int status;
    };
    const std::vector<Case> cases = {
        {"foreign Host", "POST /korvan/v1/call HTTP/1.1\r\nHost: x.localhost:" + std::to_string(port) +
                             "\r\nOrigin: " + kAllowed + "\r\nContent-Length: {length}\r\n\r\n", 403},
        {"no length", "POST /korvan/v1/call HTTP/1.1\r\n" + good + "\r\n", 411},
        {"chunked", "POST /korvan/v1/call HTTP/1.1\r\n" + good + "Transfer-Encoding: chunked\r\n\r\n", 411},
        {"signed length", "POST /korvan/v1/call HTTP/1.1\r\n" + good + "Content-Length: +{length}\r\n\r\n", 400},
        {"two lengths", "POST /korvan/v1/call HTTP/1.1\r\n" + good +
                            "Content-Length: {length}\r\nContent-Length: 1\r\n\r\n", 400},
        {"too large", "POST /korvan/v1/call HTTP/1.1\r\n" + good + "Content-Length: 1048577\r\n\r\n", 413},
        {"unknown path", "POST /korvan/v1/elsewhere HTTP/1.1\r\n" + good + "Content-Length: {length}\r\n\r\n", 404},
        {"wrong method", "PUT /korvan/v1/call HTTP/1.1\r\n" + good + "Content-Length: {length}\r\n\r\n", 404},
        {"malformed request line", "POST /korvan/v1/call HTTP/1.1 junk\r\n" + good +
                                       "Content-Length: {length}\r\n\r\n", 400},
    };
    for (const Case& c : cases) {
        std::string head = c.head;
        if (const std::size_t at = head.find("{length}"); at != std::string::npos) {
            // The body runs to the end of the smuggled request, its length's four digits included.
            head.replace(at, 8, "0000");
            head.replace(at, 4, std::to_string(4096 + smuggled.size() - head.size()));
        }
        ASSERT_LT(head.size(), 4096u) << c.name;
        const std::string padding(4096 - head.size(), 'x');
        for (const bool split : {false, true}) {
            const std::vector<std::string> writes =
                split ? std::vector<std::string>{head, padding + smuggled}
                      : std::vector<std::string>{head + padding + smuggled};
            const Stream stream = sendAndDrain(port, writes, std::chrono::seconds(2));
            const std::string what = std::string(c.name) + (split ? ", two writes" : ", one write");
            EXPECT_EQ(stream.received.rfind("HTTP/1.1 " + std::to_string(c.status), 0), 0u)
                << what << ": " << stream.received.substr(0, 200);
            EXPECT_EQ(countOf(stream.received, "HTTP/1."), 1u) << what << ": " << stream.received;
            EXPECT_TRUE(stream.closed) << what << ": the connection stays open after an early answer";
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(logged("started")) << "a smuggled request reached a worker";
    EXPECT_FALSE(logged("POST origin " + std::string(kAllowed))) << "a smuggled request was handled";
}
