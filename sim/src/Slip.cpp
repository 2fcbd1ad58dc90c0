#include "Slip.h"

namespace Tavix::Simulator {
namespace {

constexpr uint8_t kEnd = 0xC0;
constexpr uint8_t kEsc = 0xDB;
constexpr uint8_t kEscEnd = 0xDC;
constexpr uint8_t kEscEsc = 0xDD;

}  // namespace

Bytes SlipStuff(const Bytes& body) {
  Bytes frame;
  frame.reserve(2 * body.size() + 1);
  for (const uint8_t byte : body) {
    if (byte == kEnd) {
      frame.insert(frame.end(), {kEsc, kEscEnd});
    } else if (byte == kEsc) {
      frame.insert(frame.end(), {kEsc, kEscEsc});
    } else {
      frame.push_back(byte);
    }
  }
  frame.push_back(kEnd);
  return frame;
}

}  // namespace Tavix::Simulator
