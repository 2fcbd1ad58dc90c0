#include "Proxy.h"

#include <algorithm>
#include <array>
#include <limits>

#include "PoseTransform.h"

namespace Tavix::HardwareAPI::Rendering {
namespace {

// Casts per move: one per plane met and one to slide along them, with room to meet a
// plane again after rounding.
constexpr int kMaxCasts = 8;
// Passes over the shapes when putting the proxy back outside: overlapping shapes may
// push it from one into another.
constexpr int kMaxPushes = 3;
// Points closer than this (m) are one point; a point this far behind a plane is on it.
constexpr double kSamePoint = 1e-12;
// Unit normals whose dot product is above 1 - kSamePlane are one plane.
constexpr double kSamePlane = 1e-9;
// Planes whose Gram determinant is below this are treated as dependent (near parallel).
constexpr double kDependent = 1e-10;

// A plane the proxy met: it stays on the side the normal points to.
struct Plane {
  Eigen::Vector3d point;
  Eigen::Vector3d normal;
  const Obstacle* obstacle;
};

// The planes met in one move, the first met first: three at most, enough to fix a point.
struct Planes {
  std::array<Plane, 3> planes;
  int count = 0;
};

struct Hit {
  double fraction = 1.0;
  Eigen::Vector3d normal = Eigen::Vector3d::Zero();
  const Obstacle* obstacle = nullptr;
};

Eigen::AlignedBox3d AllSpace() noexcept {
  const double infinity = std::numeric_limits<double>::infinity();
  return Eigen::AlignedBox3d(Eigen::Vector3d::Constant(-infinity), Eigen::Vector3d::Constant(infinity));
}

// `local` in the scene's frame, grown by a margin so that a proxy held outside the
// surface is still within it.
Eigen::AlignedBox3d SceneBounds(const Eigen::AlignedBox3d& local, const Eigen::Isometry3d& to_scene) noexcept {
  if (!local.min().allFinite() || !local.max().allFinite()) return AllSpace();
  Eigen::AlignedBox3d box;
  for (int corner = 0; corner < 8; ++corner) {
    box.extend(to_scene * local.corner(static_cast<Eigen::AlignedBox3d::CornerType>(corner)));
  }
  const Eigen::Vector3d margin = Eigen::Vector3d::Constant(10.0 * ProxySolver::kSkin);
  return Eigen::AlignedBox3d(box.min() - margin, box.max() + margin);
}

// The first surface the segment from `from` to `to` enters, if any.
bool FirstHit(const std::vector<Obstacle>& obstacles, const Eigen::Vector3d& from, const Eigen::Vector3d& to,
              Hit& hit) noexcept {
  Eigen::AlignedBox3d swept(from);
  swept.extend(to);
  for (const Obstacle& obstacle : obstacles) {
    if (!obstacle.bounds.intersects(swept)) continue;
    Entry entry;
    if (!obstacle.surface->FirstEntry(obstacle.to_shape * from, obstacle.to_shape * to, entry)) continue;
    if (hit.obstacle != nullptr && entry.fraction >= hit.fraction) continue;
    hit = {entry.fraction, obstacle.to_scene.linear() * entry.normal, &obstacle};
  }
  return hit.obstacle != nullptr;
}

bool OnEverySide(const Planes& met, const Eigen::Vector3d& point) noexcept {
  for (int i = 0; i < met.count; ++i) {
    if (met.planes[i].normal.dot(point - met.planes[i].point) < -kSamePoint) return false;
  }
  return true;
}

// The point nearest `goal` that lies on each plane of `met` in `subset` (a bit per
// plane): goal + the planes' normals weighted by the solution of their Gram system.
// False when those planes are dependent. Unused rows stay zero, with a unit diagonal.
bool OnPlanes(const Eigen::Vector3d& goal, const Planes& met, unsigned subset, Eigen::Vector3d& point) noexcept {
  Eigen::Matrix3d normals = Eigen::Matrix3d::Zero();
  Eigen::Vector3d gaps = Eigen::Vector3d::Zero();
  int rows = 0;
  for (int i = 0; i < met.count; ++i) {
    if ((subset & (1u << i)) == 0) continue;
    normals.row(rows) = met.planes[i].normal.transpose();
    gaps(rows) = met.planes[i].normal.dot(met.planes[i].point - goal);
    ++rows;
  }
  Eigen::Matrix3d gram = Eigen::Matrix3d::Identity();
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < rows; ++j) gram(i, j) = normals.row(i).dot(normals.row(j));
  }
  if (gram.determinant() < kDependent) return false;
  point = goal + normals.transpose() * (gram.inverse() * gaps);
  return true;
}

// The point nearest `goal` on the free side of every plane met: of the projections of
// `goal` onto each set of the planes, the nearest that keeps to every plane's side.
// `fallback` (a point known to be free) if none does.
Eigen::Vector3d Projected(const Eigen::Vector3d& goal, const Planes& met, const Eigen::Vector3d& fallback) noexcept {
  Eigen::Vector3d best = fallback;
  double best_distance = std::numeric_limits<double>::infinity();
  for (unsigned subset = 0; subset < (1u << met.count); ++subset) {
    Eigen::Vector3d point;
    if (!OnPlanes(goal, met, subset, point) || !OnEverySide(met, point)) continue;
    const double distance = (point - goal).squaredNorm();
    if (distance < best_distance) {
      best = point;
      best_distance = distance;
    }
  }
  return best;
}

// Adds `plane` to those met, or moves the one it repeats; false when three are met
// already.
bool AddPlane(Planes& met, const Plane& plane) noexcept {
  for (int i = 0; i < met.count; ++i) {
    if (met.planes[i].normal.dot(plane.normal) > 1.0 - kSamePlane) {
      met.planes[i].point = plane.point;
      return true;
    }
  }
  if (met.count == static_cast<int>(met.planes.size())) return false;
  met.planes[met.count++] = plane;
  return true;
}

// Moves a point from `from` towards `goal` as far as the surfaces let it: at each
// surface entered it stops just outside, and aims for the nearest point to `goal` on
// the free side of the planes met so far. Returns where it ends; `met` gathers the
// planes.
Eigen::Vector3d Constrained(const std::vector<Obstacle>& obstacles, Eigen::Vector3d from, const Eigen::Vector3d& goal,
                            Planes& met) noexcept {
  Eigen::Vector3d target = goal;
  for (int cast = 0; cast < kMaxCasts; ++cast) {
    const Eigen::Vector3d way = target - from;
    const double length = way.norm();
    if (length <= kSamePoint) return from;
    Hit hit;
    if (!FirstHit(obstacles, from, target, hit)) return target;
    // A skin short of the entry: another surface entered a hair later (the other side
    // of a seam or a hollow edge) is then not crossed either.
    const double advance = std::max(hit.fraction * length - ProxySolver::kSkin, 0.0);
    from += (advance / length) * way + ProxySolver::kSkin * hit.normal;
    if (!AddPlane(met, {from, hit.normal, hit.obstacle})) return from;
    target = Projected(goal, met, from);
  }
  return from;
}

// The coupling's force: the spring from `stretch` (proxy - device) with the damper
// along `normal`, never pulling the device into the surface.
Eigen::Vector3d Coupling(const Eigen::Vector3d& stretch, const Eigen::Vector3d& velocity,
                         const Eigen::Vector3d& normal, const Material& material) noexcept {
  const Eigen::Vector3d spring = static_cast<double>(material.stiffness) * stretch;
  const double along = spring.dot(normal);
  const double push = std::max(along - static_cast<double>(material.damping) * velocity.dot(normal), 0.0);
  return spring + (push - along) * normal;
}

}  // namespace

void Place(Obstacle& obstacle, const Geometry& surface, const Pose& pose, const Material& material,
           std::uint64_t id) noexcept {
  const bool known = obstacle.id == id;
  const Eigen::Isometry3d before = obstacle.to_shape;
  obstacle.surface = &surface;
  obstacle.to_scene = ToTransform(pose);
  obstacle.to_shape = obstacle.to_scene.inverse(Eigen::Isometry);
  obstacle.to_shape_before = known ? before : obstacle.to_shape;
  obstacle.bounds = SceneBounds(surface.Bounds(), obstacle.to_scene);
  obstacle.material = material;
  obstacle.id = id;
}

// Carry, put outside, move towards the device, apply friction, couple.
Eigen::Vector3d ProxySolver::Step(const std::vector<Obstacle>& obstacles, const Eigen::Vector3d& device,
                                  const Eigen::Vector3d& velocity) noexcept {
  const Eigen::Vector3d start = Outside(obstacles, placed_ ? Carried(obstacles) : device);
  placed_ = true;
  for (const Obstacle& obstacle : obstacles) newest_ = std::max(newest_, obstacle.id);
  Planes met;
  const Eigen::Vector3d free = Constrained(obstacles, start, device, met);
  if (met.count == 0) {
    position_ = free;
    Release();
    return Eigen::Vector3d::Zero();
  }
  const Obstacle& touched = *met.planes[0].obstacle;
  const Eigen::Vector3d reach = free - device;
  const double depth = reach.norm();
  normal_ = depth > kSamePoint ? Eigen::Vector3d(reach / depth) : met.planes[0].normal;
  position_ = WithFriction(obstacles, start, free, depth, touched.material);
  in_contact_ = true;
  contact_shape_ = touched.id;
  contact_point_ = touched.to_shape * position_;
  return Coupling(position_ - device, velocity, normal_, touched.material);
}

void ProxySolver::Reset() noexcept {
  placed_ = false;
  Release();
}

// `point`, where the proxy has been carried to, put back outside each shape that came
// over it since the last step.
Eigen::Vector3d ProxySolver::Outside(const std::vector<Obstacle>& obstacles, Eigen::Vector3d point) const noexcept {
  for (int pass = 0; pass < kMaxPushes; ++pass) {
    bool pushed = false;
    for (const Obstacle& obstacle : obstacles) {
      Eigen::Vector3d outside;
      if (!CameOver(obstacle, point, outside)) continue;
      point = obstacle.to_scene * outside;
      pushed = true;
    }
    if (!pushed) break;
  }
  return point;
}

// Whether `obstacle` came over the proxy, now at `point`; if so, `outside` is where to put
// the proxy, in the shape's frame. A shape new to the proxy (or every shape, for a proxy
// just placed) came over it if it holds it: then at its nearest surface. Another came
// over it if the proxy's motion relative to the shape since the last step (the shape's,
// the proxy's when carried, or both) entered it: then where it did, so that a thin shape
// moving fast pushes the proxy ahead rather than passing it, and an open surface met
// from behind lets it through.
bool ProxySolver::CameOver(const Obstacle& obstacle, const Eigen::Vector3d& point,
                           Eigen::Vector3d& outside) const noexcept {
  if (!placed_ || obstacle.id > newest_) {
    if (!obstacle.bounds.contains(point)) return false;
    const Nearest nearest = obstacle.surface->NearestSurface(obstacle.to_shape * point);
    if (!(nearest.distance < 0.0)) return false;
    outside = nearest.point + kSkin * nearest.normal;
    return true;
  }
  const Eigen::Vector3d from = obstacle.to_shape_before * position_;
  const Eigen::Vector3d to = obstacle.to_shape * point;
  Entry entry;
  if ((to - from).norm() <= kSamePoint || !obstacle.surface->FirstEntry(from, to, entry)) return false;
  outside = from + entry.fraction * (to - from) + kSkin * entry.normal;
  return true;
}

// Where the shape in contact has taken the proxy since the last step; where the proxy
// was when there is none, or it has gone.
Eigen::Vector3d ProxySolver::Carried(const std::vector<Obstacle>& obstacles) noexcept {
  if (in_contact_) {
    for (const Obstacle& obstacle : obstacles) {
      if (obstacle.id == contact_shape_) return obstacle.to_scene * contact_point_;
    }
  }
  Release();
  return position_;
}

// Where friction leaves the proxy that the surfaces alone would take from `start` to
// `free` (`depth` from the device). Friction acts along the surface only, so the proxy's
// last place is first brought level with `free` along the normal. Within the friction
// cone the proxy holds there; outside it, it slides, trailing `free` by the dynamic
// friction's share of the depth, until it is back within the dynamic cone.
Eigen::Vector3d ProxySolver::WithFriction(const std::vector<Obstacle>& obstacles, const Eigen::Vector3d& start,
                                          const Eigen::Vector3d& free, double depth,
                                          const Material& material) noexcept {
  const Eigen::Vector3d held = start - normal_.dot(start - free) * normal_;
  const Eigen::Vector3d slide = free - held;
  const double distance = slide.norm();
  const double cone = static_cast<double>(sliding_ ? material.dynamic_friction : material.static_friction) * depth;
  sliding_ = distance > cone;
  const Eigen::Vector3d target =
      sliding_ ? Eigen::Vector3d(free - (material.dynamic_friction * depth / distance) * slide) : held;
  Planes met;
  return Constrained(obstacles, free, target, met);
}

void ProxySolver::Release() noexcept {
  in_contact_ = false;
  sliding_ = false;
  contact_shape_ = 0;
}

}  // namespace Tavix::HardwareAPI::Rendering
