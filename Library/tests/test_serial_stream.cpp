#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <termios.h>

#include <gtest/gtest.h>

#include "IO/PortWait.h"
#include "PtyPeer.h"
#include "StderrCapture.h"
#include "Timing.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"

using Tavix::HardwareAPI::IO::Deadline;
using Tavix::HardwareAPI::IO::SerialStream;
using Tavix::HardwareAPI::IO::WaitForBytes;
using Tavix::HardwareAPI::IO::WaitStatus;
using namespace Tavix::Testing;

namespace {

int OpenDescriptorCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

TEST(SerialStreamOpen, MissingPortLeavesTheStreamClosedWithoutComplaint) {
  SerialStream stream("/dev/does-not-exist-tty");
  EXPECT_FALSE(stream.IsOpen());
  EXPECT_EQ(stream.Available(), 0);

  char byte = 0;
  Stopwatch watch;
  stream.read(&byte, 1);
  EXPECT_TRUE(stream.eof());
  EXPECT_TRUE(stream.fail());
  EXPECT_LT(watch.WallSeconds(), 0.1);
}

TEST(SerialStreamOpen, NullPathFailsToOpen) {
  SerialStream stream(nullptr, false);
  EXPECT_EQ(stream.Available(), 0);
  EXPECT_TRUE(stream.bad()) << "a stream without a buffer is bad";
  EXPECT_EQ(stream.Open(), -2);
  EXPECT_FALSE(stream.IsOpen());
  EXPECT_EQ(stream.Open(), -2) << "a second Open reports the first outcome";
}

TEST(SerialStreamOpen, PortIsConfiguredRawAt115200) {
  PtyPeer peer;
  SerialStream stream(peer.Path().c_str());
  ASSERT_TRUE(stream.IsOpen());
  EXPECT_TRUE(stream.good());

  termios settings{};
  ASSERT_EQ(tcgetattr(peer.SlaveFd(), &settings), 0);
  EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B115200));
  EXPECT_EQ(settings.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
  EXPECT_EQ(settings.c_oflag, 0u);
  EXPECT_EQ(settings.c_lflag, 0u);
  EXPECT_EQ(settings.c_cflag & ~static_cast<tcflag_t>(CBAUD), static_cast<tcflag_t>(CS8 | CREAD | CLOCAL))
      << "8 data bits, no parity, 1 stop bit, no flow control";
  EXPECT_EQ(settings.c_cc[VMIN], 0);
  EXPECT_EQ(settings.c_cc[VTIME], 0);
}

TEST(SerialStreamOpen, NonTerminalsAreRefusedAndLeftUntouched) {
  char path[] = "/tmp/tavix-not-a-port-XXXXXX";
  const int file = mkstemp(path);
  ASSERT_GE(file, 0);
  ASSERT_EQ(write(file, "abc", 3), 3);
  close(file);
  const int before = OpenDescriptorCount();
  for (const char* not_a_port : {static_cast<const char*>(path), "/dev/null"}) {
    SerialStream stream(not_a_port, false);
    errno = 0;
    EXPECT_EQ(stream.Open(), -2) << not_a_port;
    EXPECT_EQ(errno, ENOTTY) << not_a_port;
    EXPECT_FALSE(stream.IsOpen());
    EXPECT_EQ(OpenDescriptorCount(), before) << "the descriptor is closed again";
    const uint8_t wakeup = 0x0A;
    StderrCapture log;  // the refused write is logged
    stream.Write(&wakeup, 1);
  }
  char contents[8] = {};
  const int reread = open(path, O_RDONLY);
  EXPECT_EQ(read(reread, contents, sizeof contents), 3);
  EXPECT_STREQ(contents, "abc");
  close(reread);
  unlink(path);
}

TEST(SerialStreamOpen, BytesLeftUnreadBeforeOpeningAreDropped) {
  PtyPeer peer;
  peer.Send({1, 2, 3});
  peer.AwaitQueued(3);
  SerialStream stream(peer.Path().c_str());
  ASSERT_TRUE(stream.IsOpen());
  EXPECT_EQ(stream.Available(), 0);
  EXPECT_EQ(peer.QueuedTowardsLibrary(), 0);
}

TEST(SerialStreamOpen, PathIsCopied) {
  PtyPeer peer;
  std::string path = peer.Path();
  SerialStream stream(path.c_str(), false);
  path.assign(path.size(), 'x');
  EXPECT_EQ(stream.Open(), 1);
  EXPECT_EQ(stream.PortPath(), peer.Path());
}

TEST(SerialStreamClose, IsFinalAndHarmlessToRepeat) {
  SerialStream never_opened("/dev/null", false);
  never_opened.Close();
  EXPECT_EQ(never_opened.Available(), 0);

  PtyPeer peer;
  const int before = OpenDescriptorCount();
  {
    SerialStream stream(peer.Path().c_str());
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    stream.Close();
    EXPECT_EQ(OpenDescriptorCount(), before);
    stream.Close();
    EXPECT_FALSE(stream.IsOpen());
  }
  {
    SerialStream stream(peer.Path().c_str());
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
  }
  EXPECT_EQ(OpenDescriptorCount(), before) << "destroying an open stream closes its port";
}

TEST(SerialStreamIo, WritesReachThePeerAndWaitingBytesAreCounted) {
  PtyPeer peer;
  SerialStream stream(peer.Path().c_str());
  const Bytes message = {0x0D, 0xD1};
  stream.Write(message.data(), message.size());
  EXPECT_EQ(peer.Receive(2), message);

  peer.Send({1, 2, 3, 4, 5});
  peer.AwaitQueued(5);
  EXPECT_EQ(stream.Available(), 5);
}

TEST(SerialStreamIo, FailedWritePrintsOneLine) {
  SerialStream stream("/dev/does-not-exist-tty");
  const uint8_t byte = 0x0A;
  StderrCapture log;
  stream.Write(&byte, 1);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("[err] Library/src/SerialStream:53> unable to write '1' bytes to stream: [", 0), 0u)
      << lines[0];
  EXPECT_TRUE(stream.bad());
}

TEST(SerialStreamIo, WriteAfterEndOfFileIsSilentAndSendsNothing) {
  PtyPeer peer;
  SerialStream stream(peer.Path().c_str());
  stream.setstate(std::ios::eofbit | std::ios::failbit);  // as a short read leaves it
  const uint8_t byte = 0x0A;
  StderrCapture log;
  stream.Write(&byte, 1);
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_TRUE(peer.Drain().empty());
}

TEST(SerialStreamIo, WriteToHungUpPortReportsErrno) {
  PtyPeer peer;
  SerialStream stream(peer.Path().c_str());
  peer.HangUp();
  const uint8_t bytes[3] = {1, 2, 3};
  StderrCapture log;
  stream.Write(bytes, 3);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "[err] Library/src/SerialStream:53> unable to write '3' bytes to stream: [5] Input/output error");
}

TEST(SerialStreamWait, EndsOnDataDeadlineOrHangUp) {
  PtyPeer peer;
  SerialStream stream(peer.Path().c_str());
  EXPECT_EQ(stream.WaitForBytes(1, Deadline::In(Millis(50))), WaitStatus::TimedOut);

  peer.Play({Pause(Millis(50)), Send({1, 2}), Pause(Millis(50)), Send({3})});
  Stopwatch watch;
  EXPECT_EQ(stream.WaitForBytes(3, Deadline::In(Millis(5000))), WaitStatus::Ready);
  EXPECT_LT(watch.WallSeconds(), 1.0);
  EXPECT_TRUE(peer.Finish());

  peer.Play({Pause(Millis(50)), HangUp()});
  EXPECT_EQ(stream.WaitForBytes(10, Deadline::In(Millis(5000))), WaitStatus::Failed);
  EXPECT_LT(watch.WallSeconds(), 1.5);
  EXPECT_TRUE(peer.Finish());
}

TEST(SerialStreamIo, DiscardInputDropsQueuedAndHeldBackBytes) {
  PtyPeer peer;
  SerialStream stream(peer.Path().c_str());
  peer.Send({1, 2, 3});
  peer.AwaitQueued(3);
  EXPECT_EQ(stream.peek(), 1) << "the peeked byte is held back in the buffer";
  stream.DiscardInput();
  EXPECT_EQ(stream.Available(), 0);
  EXPECT_EQ(peer.QueuedTowardsLibrary(), 0);

  peer.Send({4});
  char byte = 0;
  stream.read(&byte, 1);
  EXPECT_EQ(byte, 4) << "neither the held-back byte nor the queued ones come back";
  EXPECT_TRUE(stream.good());
}

TEST(SerialStreamWait, ReadableButEmptyDescriptorWaitsOutTheDeadlineAsleep) {
  int ends[2] = {-1, -1};
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  shutdown(ends[1], SHUT_WR);  // ends[0] is now readable for good, with nothing to read
  Stopwatch watch;
  EXPECT_EQ(WaitForBytes(ends[0], 2, Deadline::In(Millis(200))), WaitStatus::TimedOut);
  EXPECT_GE(watch.WallSeconds(), 0.2);
  EXPECT_LT(watch.CpuSeconds(), watch.WallSeconds() / 2) << "the wait must sleep between tries";
  close(ends[0]);
  close(ends[1]);
}

TEST(SerialStreamWait, ClosedStreamWaitsOutTheDeadline) {
  SerialStream stream("/dev/does-not-exist-tty");
  Stopwatch watch;
  EXPECT_EQ(stream.WaitForBytes(1, Deadline::In(Millis(100))), WaitStatus::TimedOut);
  EXPECT_GE(watch.WallSeconds(), 0.1);
}

}  // namespace

namespace {

TEST(SerialStreamExclusiveAccess, OnlyOneStreamHoldsAPortAtATime) {
  PtyPeer peer;
  SerialStream first(peer.Path().c_str());
  ASSERT_TRUE(first.IsOpen());
  SerialStream second(peer.Path().c_str(), false);
  EXPECT_EQ(second.Open(), -2);
  EXPECT_FALSE(second.IsOpen());

  first.Close();
  SerialStream third(peer.Path().c_str(), false);
  EXPECT_EQ(third.Open(), 1) << "Close lets the port go";
}

TEST(SerialStreamExclusiveAccess, APortHeldInAnotherProcessIsNotOpened) {
  PtyPeer peer;
  SerialStream holder(peer.Path().c_str());
  ASSERT_TRUE(holder.IsOpen());
  const pid_t child = fork();
  if (child == 0) {
    SerialStream intruder(peer.Path().c_str(), false);
    _exit(intruder.Open() == -2 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
