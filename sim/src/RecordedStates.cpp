#include "RecordedStates.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

#include "OptionArguments.h"

namespace Tavix::Simulator {
namespace {

constexpr std::size_t kNumberBytes = 8;

// Assembled byte by byte, so that the file reads the same on a host of either byte order.
double LittleEndianDouble(const unsigned char* bytes) {
  uint64_t bits = 0;
  for (std::size_t i = kNumberBytes; i-- > 0;) bits = (bits << 8) | bytes[i];
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

Cartesian ThreeAt(const unsigned char* bytes) {
  return {LittleEndianDouble(bytes), LittleEndianDouble(bytes + kNumberBytes),
          LittleEndianDouble(bytes + 2 * kNumberBytes)};
}

}  // namespace

std::vector<RecordedState> ReadRecordedStates(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) CommandLine::Reject("--replay cannot open '" + path + "'");
  const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (file.bad()) CommandLine::Reject("--replay cannot read '" + path + "'");
  if (bytes.empty()) CommandLine::Reject("--replay: '" + path + "' holds no states");
  if (bytes.size() % kRecordedStateBytes != 0) {
    CommandLine::Reject("--replay: '" + path + "' is " + std::to_string(bytes.size()) +
                        " bytes long, not a whole number of 48-byte states (six little-endian doubles each)");
  }
  std::vector<RecordedState> states(bytes.size() / kRecordedStateBytes);
  for (std::size_t i = 0; i < states.size(); ++i) {
    const unsigned char* record = &bytes[i * kRecordedStateBytes];
    states[i] = {ThreeAt(record), ThreeAt(record + 3 * kNumberBytes)};
  }
  return states;
}

}  // namespace Tavix::Simulator
