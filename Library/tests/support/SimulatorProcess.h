#pragma once

#include <gtest/gtest.h>

#include "launcher/SimulatorProcess.h"

namespace Tavix::Testing {

/// The simulator for a test: one that does not end with status 0 when the test is done
/// fails the test.
class SimulatorProcess : public Simulator::SimulatorProcess {
 public:
  using Simulator::SimulatorProcess::SimulatorProcess;
  ~SimulatorProcess() override { EXPECT_EQ(Stop(), 0) << "tavix-sim did not end cleanly"; }
};

}  // namespace Tavix::Testing
