// Base fixture of every test that touches the platform: a fresh simulated
// Windows per test on the host, nothing to reset on real Windows.
#pragma once

#include <gtest/gtest.h>

#include "support/backend.h"

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { backend::ResetPlatform(); }
  void TearDown() override {}
};
