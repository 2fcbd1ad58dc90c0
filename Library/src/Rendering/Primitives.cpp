#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "Geometry.h"
#include "Inputs.h"
#include "PoseTransform.h"
#include "Touch.h"
#include "Tavix/HardwareAPI/Rendering/Box.h"
#include "Tavix/HardwareAPI/Rendering/Capsule.h"
#include "Tavix/HardwareAPI/Rendering/Plane.h"
#include "Tavix/HardwareAPI/Rendering/Sphere.h"

namespace Tavix::HardwareAPI::Rendering {
namespace {

using Eigen::Vector3d;

// A segment that starts inside (`start` is the start's nearest surface) enters at its
// start if that is within kTouch of the surface and the segment heads in; else never.
bool EnterAtStart(const Nearest& start, const Vector3d& direction, Entry& entry) noexcept {
  if (start.distance < -kTouch || !(direction.dot(start.normal) < 0.0)) return false;
  entry.fraction = 0.0;
  entry.normal = start.normal;
  return true;
}

// Where the segment from + t x direction, t in [0, 1], enters the ball of `radius` about
// the origin; false when it starts inside, touches it only, or misses. Solves
// |from + t direction|^2 = radius^2 with the root written as c / (-b + sqrt(disc)),
// which loses no digits when the two terms nearly cancel.
bool EnterBall(const Vector3d& from, const Vector3d& direction, double radius, double& fraction) noexcept {
  const double a = direction.squaredNorm();
  const double b = from.dot(direction);
  const double c = from.squaredNorm() - radius * radius;
  if (c < 0.0 || b >= 0.0) return false;
  const double disc = b * b - a * c;
  if (!(disc > 0.0)) return false;
  fraction = c / (-b + std::sqrt(disc));
  return fraction <= 1.0;
}

// Nearest for a ball of `radius` about `center`; a point at the center takes +z.
Nearest NearestOnBall(const Vector3d& point, const Vector3d& center, double radius) noexcept {
  const Vector3d offset = point - center;
  const double length = offset.norm();
  Nearest nearest;
  if (length > 0.0) nearest.normal = offset / length;
  nearest.point = center + radius * nearest.normal;
  nearest.distance = length - radius;
  return nearest;
}

class SphereGeometry final : public Geometry {
 public:
  explicit SphereGeometry(double radius) : radius_(radius) {}

  bool FirstEntry(const Vector3d& from, const Vector3d& to, Entry& entry) const noexcept override {
    const Nearest start = NearestSurface(from);
    if (start.distance < 0.0) return EnterAtStart(start, to - from, entry);
    double fraction = 0.0;
    if (!EnterBall(from, to - from, radius_, fraction)) return false;
    entry.fraction = fraction;
    entry.normal = (from + fraction * (to - from)).normalized();
    return true;
  }

  Nearest NearestSurface(const Vector3d& point) const noexcept override {
    return NearestOnBall(point, Vector3d::Zero(), radius_);
  }

  Eigen::AlignedBox3d Bounds() const noexcept override {
    return {Vector3d::Constant(-radius_), Vector3d::Constant(radius_)};
  }

 private:
  double radius_;
};

class BoxGeometry final : public Geometry {
 public:
  explicit BoxGeometry(const Vector3d& half_extents) : half_(half_extents) {}

  // Slabs: the segment is within the box for t in [enter, leave]; it enters through the
  // face of the axis whose slab it enters last.
  bool FirstEntry(const Vector3d& from, const Vector3d& to, Entry& entry) const noexcept override {
    const Vector3d direction = to - from;
    const Nearest start = NearestSurface(from);
    if (start.distance < 0.0) return EnterAtStart(start, direction, entry);
    double enter = -std::numeric_limits<double>::infinity();
    double leave = std::numeric_limits<double>::infinity();
    int face = 0;
    for (int axis = 0; axis < 3; ++axis) {
      if (direction[axis] == 0.0) {
        if (std::abs(from[axis]) >= half_[axis]) return false;
        continue;
      }
      double near = (-half_[axis] - from[axis]) / direction[axis];
      double far = (half_[axis] - from[axis]) / direction[axis];
      if (near > far) std::swap(near, far);
      if (near > enter) {
        enter = near;
        face = axis;
      }
      leave = std::min(leave, far);
    }
    if (!(enter >= 0.0 && enter < leave && enter <= 1.0)) return false;
    entry.fraction = enter;
    entry.normal = Vector3d::Zero();
    entry.normal[face] = direction[face] < 0.0 ? 1.0 : -1.0;
    return true;
  }

  Nearest NearestSurface(const Vector3d& point) const noexcept override {
    const Vector3d clamped = point.cwiseMax(-half_).cwiseMin(half_);
    const Vector3d outside = point - clamped;
    const double distance = outside.norm();
    Nearest nearest;
    if (distance > 0.0) {
      nearest.point = clamped;
      nearest.normal = outside / distance;
      nearest.distance = distance;
      return nearest;
    }
    // Inside or on the surface: the face nearest.
    int axis = 0;
    (half_ - point.cwiseAbs()).minCoeff(&axis);
    const double side = point[axis] < 0.0 ? -1.0 : 1.0;
    nearest.point = point;
    nearest.point[axis] = side * half_[axis];
    nearest.normal = Vector3d::Zero();
    nearest.normal[axis] = side;
    nearest.distance = std::abs(point[axis]) - half_[axis];
    return nearest;
  }

  Eigen::AlignedBox3d Bounds() const noexcept override { return {-half_, half_}; }

 private:
  Vector3d half_;
};

// The half-space z <= 0.
class PlaneGeometry final : public Geometry {
 public:
  // Large rather than infinite, so that a rotated box's corners stay finite.
  static constexpr double kExtent = 1e9;

  bool FirstEntry(const Vector3d& from, const Vector3d& to, Entry& entry) const noexcept override {
    if (from.z() < 0.0) return EnterAtStart(NearestSurface(from), to - from, entry);
    if (!(to.z() < 0.0)) return false;
    entry.fraction = from.z() / (from.z() - to.z());
    entry.normal = Vector3d::UnitZ();
    return true;
  }

  Nearest NearestSurface(const Vector3d& point) const noexcept override {
    return {Vector3d(point.x(), point.y(), 0.0), Vector3d::UnitZ(), point.z()};
  }

  Eigen::AlignedBox3d Bounds() const noexcept override {
    return {Vector3d(-kExtent, -kExtent, -kExtent), Vector3d(kExtent, kExtent, 0.0)};
  }
};

// The points within radius of the segment from (0, 0, -half_length) to (0, 0, half_length).
class CapsuleGeometry final : public Geometry {
 public:
  CapsuleGeometry(double half_length, double radius) : half_length_(half_length), radius_(radius) {}

  // The capsule is the union of the two end balls and the cylinder between them, and a
  // segment starting outside it starts outside each: it enters the union where it first
  // enters one of them. The cylinder's flat ends lie within the balls, so only its side
  // counts.
  bool FirstEntry(const Vector3d& from, const Vector3d& to, Entry& entry) const noexcept override {
    const Vector3d direction = to - from;
    const Nearest start = NearestSurface(from);
    if (start.distance < 0.0) return EnterAtStart(start, direction, entry);
    bool entered = EnterSide(from, direction, entry);
    for (const double end : {-half_length_, half_length_}) {
      const Vector3d center(0.0, 0.0, end);
      double fraction = 0.0;
      if (EnterBall(from - center, direction, radius_, fraction) && (!entered || fraction < entry.fraction)) {
        entry.fraction = fraction;
        entry.normal = (from + fraction * direction - center).normalized();
        entered = true;
      }
    }
    return entered;
  }

  Nearest NearestSurface(const Vector3d& point) const noexcept override {
    const Vector3d axis_point(0.0, 0.0, std::clamp(point.z(), -half_length_, half_length_));
    if (point.x() == 0.0 && point.y() == 0.0 && half_length_ > 0.0 && std::abs(point.z()) <= half_length_) {
      // On the axis between the ends: every side direction is as near; take +x.
      return {axis_point + Vector3d(radius_, 0.0, 0.0), Vector3d::UnitX(), -radius_};
    }
    return NearestOnBall(point, axis_point, radius_);
  }

  Eigen::AlignedBox3d Bounds() const noexcept override {
    const Vector3d corner(radius_, radius_, half_length_ + radius_);
    return {-corner, corner};
  }

 private:
  // The infinite cylinder x^2 + y^2 = radius^2, entered between the ends.
  bool EnterSide(const Vector3d& from, const Vector3d& direction, Entry& entry) const noexcept {
    double fraction = 0.0;
    const Vector3d flat_from(from.x(), from.y(), 0.0);
    const Vector3d flat_direction(direction.x(), direction.y(), 0.0);
    if (!EnterBall(flat_from, flat_direction, radius_, fraction)) return false;
    const double z = from.z() + fraction * direction.z();
    if (z < -half_length_ || z > half_length_) return false;
    entry.fraction = fraction;
    entry.normal = (flat_from + fraction * flat_direction).normalized();
    return true;
  }

  double half_length_;
  double radius_;
};

}  // namespace

Sphere::Sphere(const Vector3& center, float radius, const Material& material)
    : Shape(std::make_shared<SphereGeometry>(CheckedPositive(radius, "the radius")),
            {ToVector3(CheckedPoint(center, "the center"))}, material),
      radius_(radius) {}

Box::Box(const Vector3& center, const Vector3& half_extents, const Rotation& rotation, const Material& material)
    : Shape(std::make_shared<BoxGeometry>(Vector3d(CheckedPositive(half_extents[0], "a half extent"),
                                                   CheckedPositive(half_extents[1], "a half extent"),
                                                   CheckedPositive(half_extents[2], "a half extent"))),
            {ToVector3(CheckedPoint(center, "the center")), rotation}, material),
      half_extents_(half_extents) {}

Plane::Plane(const Vector3& point, const Vector3& normal, const Material& material)
    : Shape(std::make_shared<PlaneGeometry>(),
            {ToVector3(CheckedPoint(point, "the point")), RotationFromZ(CheckedDirection(normal, "the normal"))},
            material) {}

Vector3 Plane::Normal() const noexcept { return ToVector3(ToTransform(GetPose()).linear().col(2)); }

namespace {

std::shared_ptr<const Geometry> CapsuleSurface(const Vector3& a, const Vector3& b, float radius) {
  const double length = (CheckedPoint(b, "the segment's end") - CheckedPoint(a, "the segment's start")).norm();
  return std::make_shared<CapsuleGeometry>(length / 2.0, CheckedPositive(radius, "the radius"));
}

// At the segment's middle, +z along it (any way for a segment of length 0). The points
// are checked by CapsuleSurface, before the shape keeps the pose.
Pose CapsulePose(const Vector3& a, const Vector3& b) {
  const Eigen::Vector3d start(a[0], a[1], a[2]);
  const Eigen::Vector3d axis = Eigen::Vector3d(b[0], b[1], b[2]) - start;
  const double length = axis.norm();
  return {ToVector3(start + axis / 2.0), length > 0.0 ? RotationFromZ(axis / length) : Rotation{0.0f, 0.0f, 0.0f, 1.0f}};
}

}  // namespace

Capsule::Capsule(const Vector3& a, const Vector3& b, float radius, const Material& material)
    : Shape(CapsuleSurface(a, b, radius), CapsulePose(a, b), material), radius_(radius) {}

}  // namespace Tavix::HardwareAPI::Rendering
