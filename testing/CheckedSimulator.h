#pragma once

#include <gtest/gtest.h>

#include "SimulatorProcess.h"

namespace Tavix::Testing {

/// The simulator for a test: one that does not end with status 0 when the test is done
/// fails the test.
class CheckedSimulator : public SimulatorProcess {
 public:
  using SimulatorProcess::SimulatorProcess;
  ~CheckedSimulator() override { EXPECT_EQ(Stop(), 0) << "tavix-sim did not end cleanly"; }
};

}  // namespace Tavix::Testing
