#include "WorkerFixture.h"

namespace worker_test {

void WorkerTest::SetUpTestSuite() {
    control_host::TokenStore& tokens = control_host::TokenStore::instance();
    ASSERT_FALSE(tokens.root().empty());
    ASSERT_EQ(control_host::registerProviders(), S_OK);
    for (const char* module : {PROBE_MODULE, CONTROL64_MODULE, CONTROL32_MODULE})
        ASSERT_EQ(control_host::registerModule(module), S_OK) << module;
}

void WorkerTest::SetUp() {
    store().pinentryAnswers("pin");
}

long long WorkerTest::probe(WorkerProcess& worker) {
    const nlohmann::json reply = worker.create(kProbe);
    EXPECT_EQ(outcome(reply), "ok");
    return reply.value("object", -1LL);
}

std::string outcome(const nlohmann::json& reply) {
    if (reply.value("ok", false))
        return "ok";
    return std::to_string(reply.value("status", 0)).append(" ").append(reply.value("error", reply.dump()));
}

} // namespace worker_test
