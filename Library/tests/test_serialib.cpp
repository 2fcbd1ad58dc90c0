#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "PtyPeer.h"
#include "SignalStorm.h"
#include "Timing.h"
#include "Tavix/HardwareAPI/IO/serialib.h"

using Tavix::HardwareAPI::IO::serialib;
using namespace Tavix::Testing;

namespace {

constexpr int kEof = std::char_traits<char>::eof();

// A buffer on the library's side of a pseudo-terminal, opened as the stream opens ports.
class SerialibOnPty : public testing::Test {
 protected:
  void SetUp() override { buffer.fd = open(peer.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK); }

  PtyPeer peer;
  serialib buffer;
};

TEST(SerialibClosed, ReadsAndWritesNothing) {
  serialib buffer;
  char bytes[4] = {};
  EXPECT_EQ(buffer.in_avail(), 0);
  EXPECT_EQ(buffer.sgetc(), kEof);
  EXPECT_EQ(buffer.sgetn(bytes, 4), 0);
  EXPECT_EQ(buffer.sputn("abcd", 4), 0);
  EXPECT_EQ(buffer.sputc('a'), kEof);
  EXPECT_EQ(buffer.pubsetbuf(bytes, 4), &buffer);
}

TEST_F(SerialibOnPty, ReadBudgetCoversTheWholeCallAndKeepsWhatArrived) {
  char bytes[4] = {};
  Stopwatch empty;
  EXPECT_EQ(buffer.sgetn(bytes, 4), 0);
  EXPECT_GE(empty.WallSeconds(), 0.99);
  EXPECT_LT(empty.WallSeconds(), 1.5);

  peer.Send({'a', 'b'});
  Stopwatch partial;
  EXPECT_EQ(buffer.sgetn(bytes, 4), 2);
  EXPECT_GE(partial.WallSeconds(), 0.99);
  EXPECT_EQ(std::string(bytes, 2), "ab");
  EXPECT_LT(empty.CpuSeconds(), 0.1) << "waiting for bytes must not spin";
}

TEST(SerialibReadableButEmpty, ReadEndsAtItsBudgetWithoutSpinning) {
  serialib buffer;
  buffer.fd = open("/dev/null", O_RDONLY | O_NONBLOCK);  // always readable, always empty
  ASSERT_GE(buffer.fd, 0);
  char bytes[4] = {};
  Stopwatch watch;
  EXPECT_EQ(buffer.sgetn(bytes, 4), 0);
  EXPECT_GE(watch.WallSeconds(), 0.99);
  EXPECT_LT(watch.CpuSeconds(), watch.WallSeconds() / 2) << "the wait must sleep between tries";
}

TEST_F(SerialibOnPty, ReadReturnsAsSoonAsTheLastByteArrives) {
  peer.Play({Pause(Millis(50)), Send({'x', 'y'})});
  char bytes[2] = {};
  Stopwatch watch;
  EXPECT_EQ(buffer.sgetn(bytes, 2), 2);
  EXPECT_LT(watch.WallSeconds(), 0.5);
  EXPECT_TRUE(peer.Finish());
}

TEST_F(SerialibOnPty, PeekHoldsOneByteBackUntilConsumed) {
  peer.Send({'A', 'B', 'C'});
  peer.AwaitQueued(3);
  EXPECT_EQ(buffer.in_avail(), 1);
  EXPECT_EQ(buffer.sgetc(), 'A');  // still held back
  char bytes[3] = {};
  EXPECT_EQ(buffer.sgetn(bytes, 3), 3);
  EXPECT_EQ(std::string(bytes, 3), "ABC");
  EXPECT_FALSE(buffer.has_pending_char);

  peer.Send({'D', 'E'});
  peer.AwaitQueued(2);
  EXPECT_EQ(buffer.sbumpc(), 'D');
  EXPECT_EQ(buffer.sbumpc(), 'E');
}

TEST_F(SerialibOnPty, PushBackHoldsOneRealCharacter) {
  EXPECT_EQ(buffer.sputbackc('x'), 'x');
  EXPECT_EQ(buffer.sputbackc('y'), kEof);
  EXPECT_EQ(buffer.sungetc(), kEof);
  char byte = 0;
  EXPECT_EQ(buffer.sgetn(&byte, 1), 1);
  EXPECT_EQ(byte, 'x');
  EXPECT_EQ(buffer.sungetc(), kEof) << "backing up without a character fails";
}

TEST_F(SerialibOnPty, BulkWriteLeavesInOneCall) {
  std::string message(300, '\0');
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>(i);
  EXPECT_EQ(buffer.sputn(message.data(), 300), 300);
  const Bytes received = peer.Receive(300);
  EXPECT_EQ(std::string(received.begin(), received.end()), message);
}

TEST_F(SerialibOnPty, HangUpEndsReadAtOnce) {
  peer.HangUp();
  char bytes[4] = {};
  Stopwatch watch;
  EXPECT_EQ(buffer.ReadTimed(bytes, 4), -2);
  EXPECT_EQ(buffer.sgetn(bytes, 4), 0);
  EXPECT_LT(watch.WallSeconds(), 0.2);
}

}  // namespace

namespace {

TEST_F(SerialibOnPty, SignalsDuringATimedReadLoseNoBytes) {
  peer.Play({Pause(Millis(50)), Send({'a', 'b'}), Pause(Millis(50)), Send({'c', 'd'})});
  char bytes[4] = {};
  {
    SignalStorm storm(std::chrono::microseconds(50));
    EXPECT_EQ(buffer.sgetn(bytes, 4), 4);
  }
  EXPECT_EQ(std::string(bytes, 4), "abcd");
  EXPECT_TRUE(peer.Finish());
}

}  // namespace

namespace {

// Writes survive signals: one that lands in write(2) before any byte has left ends it
// with EINTR, which used to fail the write and leave the owning stream bad for good.
TEST_F(SerialibOnPty, SignalsDuringWritesLoseNoBytes) {
  constexpr int kRounds = 1500;  // 6000 bytes: all fit in the pseudo-terminal unread
  const int signals_before = SignalStorm::Delivered();
  int bulk_writes = 0;
  {
    SignalStorm storm(std::chrono::microseconds(50));
    while (SignalStorm::Delivered() == signals_before) std::this_thread::yield();  // storm under way
    for (int i = 0; i < kRounds; ++i) {
      if (buffer.sputn("abc", 3) == 3) ++bulk_writes;
      buffer.sputc('d');
    }
  }
  EXPECT_EQ(bulk_writes, kRounds);
  std::string expected;
  for (int i = 0; i < kRounds; ++i) expected += "abcd";
  const Bytes received = peer.Receive(expected.size());
  EXPECT_EQ(std::string(received.begin(), received.end()), expected);
}

}  // namespace
