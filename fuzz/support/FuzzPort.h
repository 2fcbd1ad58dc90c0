#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Tavix/HardwareAPI/IO/SerialStream.h"

namespace Tavix::Fuzzing {

using Bytes = std::vector<uint8_t>;

/// Reply time-out of every device under fuzzing: short replies must fail fast.
constexpr float kFuzzTimeout = 0.0005f;

/// Longest input fed to a port. The pseudo-terminal queues at most 4096 bytes towards
/// the library; this leaves room and still lets a reply cover the 1024-byte discard read.
constexpr std::size_t kMaxInputLength = 2048;

/// One pseudo-terminal for the whole harness process, with the library's stream open on
/// its slave side. The harness plays the device on the master side, which stays
/// non-blocking. The port keeps its own descriptor on the slave side to see and flush
/// what is queued towards the library.
class FuzzPort {
 public:
  FuzzPort();
  ~FuzzPort();

  FuzzPort(const FuzzPort&) = delete;
  FuzzPort& operator=(const FuzzPort&) = delete;

  /// The library's stream on the slave side.
  HardwareAPI::IO::SerialStream& Stream() { return *stream_; }

  /// Writes `bytes` towards the library and waits until all of them are queued on its
  /// side, so that no read of the library finds only part of them.
  void Send(const Bytes& bytes);
  /// Bytes sent towards the library that it has not read yet.
  int QueuedTowardsLibrary() const;
  /// What the library wrote: `count` bytes, or fewer if they do not arrive within a second.
  Bytes Receive(std::size_t count);

  /// Readies the port for the next input: drops what the library wrote and what it left
  /// unread, and clears the stream's state flags (the library never clears them).
  void Reset();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::unique_ptr<HardwareAPI::IO::SerialStream> stream_;
};

/// The first `kMaxInputLength` bytes of a libFuzzer input.
Bytes Input(const uint8_t* data, std::size_t size);

/// To be called from LLVMFuzzerInitialize. The library logs every time-out on stderr and
/// the harnesses make it time out on purpose many times a second, so this adds
/// -close_fd_mask=2 to libFuzzer's arguments: stderr then goes to /dev/null while
/// libFuzzer and the sanitizers keep reporting on a copy of it. Setting TAVIX_FUZZ_LOG
/// in the environment keeps the library's lines.
void QuietLibraryLog(int* argc, char*** argv);

/// Ends the run as a crash, naming `what`, unless `condition` holds.
void Require(bool condition, const char* what);

/// True when the two values have the same bits (NaN payloads included).
bool SameBits(const void* a, const void* b, std::size_t size);

}  // namespace Tavix::Fuzzing
