#pragma once
// The unit tests' broker (broker_rig.hpp), with agent pass pinning off unless a test switches it on.

#include "broker_rig.hpp"

#include <gtest/gtest.h>

namespace vantor::testing {

class BrokerTest : public ::testing::Test, protected SeededProgramDir, protected BrokerRig {
 protected:
  using BrokerRig::Run;  // not ::testing::Test's

  BrokerTest() : BrokerRig(dir_) {
    // The tests of admission as it was before pinning run without it; those of pinning switch it on.
    dir_.Sql("UPDATE General_Settings SET PinAgentPass = 0");
    Run(broker_.CustTableInit());
  }
};

}  // namespace vantor::testing
