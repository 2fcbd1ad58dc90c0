#pragma once

namespace Tavix::HardwareAPI::Rendering {

/// How far inside a solid a segment may start and still count as starting on its
/// surface (m). Rounding, and shapes placed by poses of floats, leave a point put just
/// outside one surface a few nanometres inside a neighbouring one; heading further in
/// from there, the segment enters at its start rather than being let through.
constexpr double kTouch = 1e-8;

}  // namespace Tavix::HardwareAPI::Rendering
