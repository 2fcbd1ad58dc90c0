#pragma once

#include <cstddef>
#include <streambuf>
#include <sys/types.h>

namespace Tavix::HardwareAPI::IO {

/// Unbuffered character stream buffer sitting directly on the descriptor of an open
/// serial port. Every read and write goes straight to read(2) and write(2); the only
/// state besides the descriptor is a one-byte hold-back slot used for peeking and
/// push-back. The get and put areas stay empty, so the base class calls the virtual
/// operations below for every character. Nothing here throws, prints or allocates.
///
/// A `SerialStream` creates, configures and owns its buffer. With no port open
/// (`fd` is -1) every read yields end-of-file or 0 and every write 0 or end-of-file,
/// without a system call.
class serialib : public std::basic_streambuf<char> {
 public:
  /// Budget of one `ReadTimed` call, over the whole call.
  static constexpr int kReadBudgetMs = 1000;

  serialib() = default;
  /// Closes `fd` if a port is open.
  ~serialib() override;

  serialib(const serialib&) = delete;
  serialib& operator=(const serialib&) = delete;

  /// Reads up to `count` bytes into `buffer` within 1000 ms, blocking in poll(2) while
  /// nothing is waiting (and napping a millisecond at a time on a descriptor that stays
  /// readable with nothing to read, so the budget holds and no core spins). Returns the bytes obtained (fewer than `count`, possibly 0,
  /// when the budget runs out), or -2 when the port reports an error or hangs up; bytes
  /// read before the error stay in `buffer` but are not counted. A read is always
  /// tried at least once.
  ssize_t ReadTimed(char* buffer, std::size_t count);

  char pending_char = 0;          ///< byte held back by a peek or a push-back
  bool has_pending_char = false;  ///< `pending_char` holds a byte not yet consumed
  int fd = -1;                    ///< descriptor of the open port, -1 when closed

 protected:
  /// Does nothing: the buffer never buffers.
  std::streambuf* setbuf(char_type* s, std::streamsize n) override;
  /// 1 if a byte can be read (the pending byte, or one fetched within the read budget
  /// and held back), 0 if none, -1 if the descriptor flags cannot be set.
  std::streamsize showmanyc() override;
  /// Bulk read: the pending byte first, then `ReadTimed`. A short count means time-out.
  std::streamsize xsgetn(char_type* s, std::streamsize n) override;
  /// Next byte without consuming it, or end-of-file on time-out or error.
  int_type underflow() override;
  /// Next byte, consumed.
  int_type uflow() override;
  /// Pushes back one real character if the slot is free.
  int_type pbackfail(int_type c) override;
  /// One write(2) of all `n` bytes; -1 on a short or failed write. A write that a signal
  /// interrupts before any byte left is made again.
  std::streamsize xsputn(const char_type* s, std::streamsize n) override;
  /// One write(2) of one byte (made again if a signal interrupts it); its result is not
  /// examined.
  int_type overflow(int_type c) override;
};

}  // namespace Tavix::HardwareAPI::IO
