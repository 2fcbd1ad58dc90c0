#pragma once

#include "WireBytes.h"

namespace Tavix::Simulator {

/// SLIP byte stuffing (RFC 1055) of one frame body: END (0xC0) becomes ESC ESC_END
/// (0xDB 0xDC), ESC (0xDB) becomes ESC ESC_ESC (0xDB 0xDD), and an END closes the frame.
Bytes SlipStuff(const Bytes& body);

}  // namespace Tavix::Simulator
