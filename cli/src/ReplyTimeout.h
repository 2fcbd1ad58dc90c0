#pragma once

namespace Tavix::Cli {

/// Seconds the commands wait for each reply, instead of the library's 5: a device that
/// answers at all answers within milliseconds, so a silent one fails in about two of
/// these (a missed reply costs a header wait and a discard wait).
inline constexpr float kReplyTimeoutSeconds = 1.0f;

}  // namespace Tavix::Cli
