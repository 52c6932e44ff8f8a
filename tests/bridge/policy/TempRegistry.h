// A fresh, empty registry store for one test.
#pragma once

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

class TempRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        setenv("KORVAN_REGISTRY_DIR", dir_.path().toLocal8Bit().constData(), 1);
    }
    void TearDown() override { unsetenv("KORVAN_REGISTRY_DIR"); }

    QTemporaryDir dir_;
};
