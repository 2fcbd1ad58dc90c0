#pragma once

#include <cstdint>
#include <vector>

#include <Eigen/Geometry>

#include "Geometry.h"
#include "Tavix/HardwareAPI/Rendering/Material.h"
#include "Tavix/HardwareAPI/Rendering/Pose.h"

namespace Tavix::HardwareAPI::Rendering {

/// A shape as the proxy meets it during one step: its surface, where it is (and was at
/// the step before), and how it feels, all fixed for the step.
struct Obstacle {
  const Geometry* surface = nullptr;
  Eigen::Isometry3d to_scene = Eigen::Isometry3d::Identity();  ///< from the shape's frame
  Eigen::Isometry3d to_shape = Eigen::Isometry3d::Identity();  ///< the inverse
  /// `to_shape` at the step before; the same as `to_shape` when that is not known.
  Eigen::Isometry3d to_shape_before = Eigen::Isometry3d::Identity();
  Eigen::AlignedBox3d bounds;  ///< holds the solid, in the scene's frame; all space when unbounded
  Material material;
  /// Names the shape from one step to the next. Ids grow as shapes arrive: one above every
  /// id of the step before is a shape new to the proxy.
  std::uint64_t id = 0;
};

/// Sets `obstacle` for a step: the shape `id`, with `surface`, at `pose`. When `obstacle`
/// held the same shape at the step before, its transform then becomes `to_shape_before`.
/// Never throws, never allocates.
void Place(Obstacle& obstacle, const Geometry& surface, const Pose& pose, const Material& material,
           std::uint64_t id) noexcept;

/// A god object: a point that follows the device but never enters a solid, coupled to
/// the device by each shape's spring and damper (Zilles & Salisbury; Ruspini, Kolarov &
/// Khatib). Each step it is carried by the shape it touches; put back outside a shape
/// that came over it (one that moved onto it, where its surface met the proxy; one new to
/// it, at the nearest surface); moved towards the device as far as the surfaces let it,
/// sliding along up to three of them, so that edges, corners and seams between shapes
/// hold; held back by friction; and the force pulls the device towards it.
///
/// Pure: it knows only the obstacles it is given at each step, which name shapes by
/// `Obstacle::id`. Not thread-safe (one thread steps it at a time); every call is
/// noexcept, allocates nothing and takes no lock. Positions in m, forces in N.
class ProxySolver {
 public:
  /// How far outside a surface the proxy is held, m: enough that rounding never puts it
  /// inside, too little to feel.
  static constexpr double kSkin = 1e-7;

  /// One step: the device at `device` moving at `velocity`, the shapes `obstacles`.
  /// Returns the force on the device: zero out of contact. After a `Reset` (and at the
  /// first step) the proxy starts at the device.
  Eigen::Vector3d Step(const std::vector<Obstacle>& obstacles, const Eigen::Vector3d& device,
                       const Eigen::Vector3d& velocity) noexcept;

  /// Forgets the proxy: the next step starts it at the device, out of contact.
  void Reset() noexcept;

  const Eigen::Vector3d& Position() const noexcept { return position_; }
  bool InContact() const noexcept { return in_contact_; }
  /// The id of the obstacle touched (the first one met); meaningful in contact only.
  std::uint64_t ContactShape() const noexcept { return contact_shape_; }
  /// The unit direction the surfaces push the device in; meaningful in contact only.
  const Eigen::Vector3d& Normal() const noexcept { return normal_; }

 private:
  Eigen::Vector3d Carried(const std::vector<Obstacle>& obstacles) noexcept;
  Eigen::Vector3d Outside(const std::vector<Obstacle>& obstacles, Eigen::Vector3d point) const noexcept;
  bool CameOver(const Obstacle& obstacle, const Eigen::Vector3d& point, Eigen::Vector3d& outside) const noexcept;
  Eigen::Vector3d WithFriction(const std::vector<Obstacle>& obstacles, const Eigen::Vector3d& start,
                               const Eigen::Vector3d& free, double depth, const Material& material) noexcept;
  void Release() noexcept;

  Eigen::Vector3d position_ = Eigen::Vector3d::Zero();
  bool placed_ = false;       // false until the first step after a reset
  std::uint64_t newest_ = 0;  // the highest obstacle id at the last step
  bool in_contact_ = false;
  bool sliding_ = false;
  std::uint64_t contact_shape_ = 0;
  Eigen::Vector3d contact_point_ = Eigen::Vector3d::Zero();  // the proxy, in the contact shape's frame
  Eigen::Vector3d normal_ = Eigen::Vector3d::UnitZ();
};

}  // namespace Tavix::HardwareAPI::Rendering
