#pragma once

#include <cstddef>
#include <cstdint>

#include "Bytes.h"

// What every harness shares. The harnesses that drive a device play it on a
// Testing::SocketPeer: the whole input is queued before the call, and a wait for bytes
// that are not there ends at once, so an input runs in microseconds. The devices keep
// their default time-out, which then bounds nothing but the search of GetGantrelStatus,
// and the input's length bounds that first.
//
// The library logs every time-out on stderr, many times a second here, so the harness
// program starts libFuzzer with -close_fd_mask=2: stderr goes to /dev/null while
// libFuzzer and the sanitizers keep reporting on a copy of it. Setting TAVIX_FUZZ_LOG in
// the environment keeps the library's lines.
namespace Tavix::Fuzzing {

using Testing::Bytes;

/// Longest input fed to a device: it covers the 1024-byte discard read after a wrong
/// header, with room to spare.
constexpr std::size_t kMaxInputLength = 2048;

/// The first `kMaxInputLength` bytes of a libFuzzer input.
Bytes Input(const uint8_t* data, std::size_t size);

/// Ends the run as a crash, naming `what`, unless `condition` holds.
void Require(bool condition, const char* what);

/// True when the two values have the same bits (NaN payloads included).
bool SameBits(const void* a, const void* b, std::size_t size);

/// A harness's device and what drives it, made on first use and kept for the process.
template <typename Fixture>
Fixture& TheFixture() {
  static Fixture fixture;
  return fixture;
}

}  // namespace Tavix::Fuzzing
