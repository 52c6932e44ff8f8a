// The worker tests' shared set-up: the process-wide token store (its registry store is the one
// the workers read), the providers, both controls and the probe control registered into it.
#pragma once

#include "ControlHost.h"
#include "WorkerProcess.h"

#include <gtest/gtest.h>

namespace worker_test {

inline constexpr const char* kProbe = "KorvanBridgeTest.Probe";

class WorkerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    void SetUp() override;

    control_host::TokenStore& store() { return control_host::TokenStore::instance(); }
    // A probe object in the worker; its serial.
    long long probe(WorkerProcess& worker);
};

// The reply's error as "<status> <text>", or "ok" for a success.
std::string outcome(const nlohmann::json& reply);

} // namespace worker_test
