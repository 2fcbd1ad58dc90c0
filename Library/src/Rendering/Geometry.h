#pragma once

#include <Eigen/Geometry>

namespace Tavix::HardwareAPI::Rendering {

/// Where a segment enters a solid: at from + fraction x (to - from), through the surface
/// whose outward unit normal is `normal`.
struct Entry {
  double fraction = 0.0;
  Eigen::Vector3d normal = Eigen::Vector3d::Zero();
};

/// The surface point nearest to a point, the outward unit normal there, and the point's
/// signed distance to the surface: negative inside the solid.
struct Nearest {
  Eigen::Vector3d point = Eigen::Vector3d::Zero();
  Eigen::Vector3d normal = Eigen::Vector3d::UnitZ();
  double distance = 0.0;
};

/// A shape's surface in its own frame. Queried on a servo loop's thread every tick:
/// every query is const, never allocates, never throws and never blocks.
class Geometry {
 public:
  virtual ~Geometry() = default;

  /// The first point where the segment from `from` to `to` enters the solid from
  /// outside. False when it never does, or when it starts inside.
  virtual bool FirstEntry(const Eigen::Vector3d& from, const Eigen::Vector3d& to, Entry& entry) const noexcept = 0;

  virtual Nearest NearestSurface(const Eigen::Vector3d& point) const noexcept = 0;

  /// A box holding the solid, in the shape's frame; unbounded for a half-space.
  virtual Eigen::AlignedBox3d Bounds() const noexcept = 0;
};

}  // namespace Tavix::HardwareAPI::Rendering
