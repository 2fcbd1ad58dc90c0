#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ErrorLog.h"
#include "StderrCapture.h"
#include "Tavix/HardwareAPI/LogSink.h"

using namespace Tavix::Testing;

namespace {

std::vector<std::string> sunk;

void Collect(const char* line) { sunk.emplace_back(line); }

TEST(LogSink, TakesTheLinesUntilResetAndStandardErrorHasThemAgain) {
  sunk.clear();
  StderrCapture log;
  Tavix::HardwareAPI::SetLogSink(&Collect);
  errno = 5;
  Tavix::HardwareAPI::LogError("Library/src/Device", 58, "timeout waiting for header code");
  Tavix::HardwareAPI::SetLogSink(nullptr);
  EXPECT_EQ(errno, 5);
  Tavix::HardwareAPI::LogError("Library/src/Device", 75, "unable to read header code from stream");
  EXPECT_EQ(sunk, std::vector<std::string>{
                      "[err] Library/src/Device:58> timeout waiting for header code: [5] Input/output error"});
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"[err] Library/src/Device:75> unable to read header code "
                                                  "from stream: [5] Input/output error"});
}

}  // namespace
