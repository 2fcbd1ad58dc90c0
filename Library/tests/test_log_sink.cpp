#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "DeferredLog.h"
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

// A real-time thread (a servo loop's) never writes: its lines reach the sink later, in
// order, from the logging thread.
TEST(LogSink, GetsTheLinesOfARealTimeThreadInOrderFromTheLoggingThread) {
  Tavix::HardwareAPI::DeferredLog::Start();
  sunk.clear();
  Tavix::HardwareAPI::SetLogSink(&Collect);
  std::thread([] {
    const Tavix::HardwareAPI::DeferredLog::RealtimeThread realtime;
    errno = 5;
    Tavix::HardwareAPI::LogError("Library/src/Device", 58, "timeout waiting for header code");
    Tavix::HardwareAPI::LogError("Library/src/Device", 125, "unable to read '%zu' bytes from stream", size_t{12});
    EXPECT_EQ(errno, 5);
  }).join();
  EXPECT_TRUE(Tavix::HardwareAPI::DeferredLog::WaitUntilDelivered(std::chrono::seconds(5)));
  Tavix::HardwareAPI::SetLogSink(nullptr);
  EXPECT_EQ(sunk, (std::vector<std::string>{
                      "[err] Library/src/Device:58> timeout waiting for header code: [5] Input/output error",
                      "[err] Library/src/Device:125> unable to read '12' bytes from stream: [5] Input/output error"}));
}

}  // namespace
