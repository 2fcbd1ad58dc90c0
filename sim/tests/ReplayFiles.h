#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

// Files of recorded states for tavix-sim --replay, in the tests.
namespace Tavix::Simulator::Testing {

/// `values` as little-endian binary64 numbers, as tavix replay-device writes them.
inline std::string LittleEndianDoubles(const std::vector<double>& values) {
  std::string bytes;
  for (const double value : values) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i) bytes += static_cast<char>((bits >> (8 * i)) & 0xFF);
  }
  return bytes;
}

/// A file in the tests' temporary directory holding `bytes`, removed with the object.
class ReplayFile {
 public:
  explicit ReplayFile(const std::string& bytes)
      : path_(::testing::TempDir() + "tavix-sim-replay-" + std::to_string(getpid()) + "-" + std::to_string(count_++)) {
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  ~ReplayFile() { std::remove(path_.c_str()); }

  ReplayFile(const ReplayFile&) = delete;
  ReplayFile& operator=(const ReplayFile&) = delete;

  const std::string& Path() const { return path_; }

 private:
  static inline int count_ = 0;
  std::string path_;
};

}  // namespace Tavix::Simulator::Testing
