#pragma once
// The surroundings of a test that runs the drivers: a scratch working
// directory that also takes the MAT files the runs write (QX_DATA_DIR), and
// trovik's monitor on a port the system picks. Base is the gtest fixture
// class (a TestWithParam for parameterised suites).

#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/scratch_dir.h"

template <class Base = ::testing::Test>
class DriverRunTest : public Base {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    setenv("HTTP_PORT", "0", 1);
    setenv("QX_DATA_DIR", dir_.path().c_str(), 1);
  }
  void TearDown() override { unsetenv("QX_DATA_DIR"); }
  ScratchDir dir_;
};
