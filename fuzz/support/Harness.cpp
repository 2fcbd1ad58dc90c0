#include "Harness.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace Tavix::Fuzzing {
namespace {

// The original stderr, kept before libFuzzer sends fd 2 to /dev/null.
int report_fd = STDERR_FILENO;

// Adds -close_fd_mask=2 to libFuzzer's arguments, unless TAVIX_FUZZ_LOG is set.
void QuietLibraryLog(int* argc, char*** argv) {
  report_fd = dup(STDERR_FILENO);
  if (std::getenv("TAVIX_FUZZ_LOG") != nullptr) return;
  static char close_stderr[] = "-close_fd_mask=2";
  static std::vector<char*> arguments;
  arguments.assign(*argv, *argv + *argc);
  // Right after the program name, so that a -close_fd_mask given by hand still wins.
  arguments.insert(arguments.begin() + 1, close_stderr);
  *argc = static_cast<int>(arguments.size());
  arguments.push_back(nullptr);
  *argv = arguments.data();
}

}  // namespace

Bytes Input(const uint8_t* data, std::size_t size) {
  return Bytes(data, data + std::min(size, kMaxInputLength));
}

void Require(bool condition, const char* what) {
  if (condition) return;
  const std::string line = std::string("fuzz check failed: ") + what + "\n";
  (void)!write(report_fd, line.data(), line.size());
  std::abort();
}

bool SameBits(const void* a, const void* b, std::size_t size) { return std::memcmp(a, b, size) == 0; }

}  // namespace Tavix::Fuzzing

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  Tavix::Fuzzing::QuietLibraryLog(argc, argv);
  return 0;
}
