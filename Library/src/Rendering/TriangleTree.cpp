#include "TriangleTree.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

#include "Touch.h"

namespace Tavix::HardwareAPI::Rendering {
namespace {

using Eigen::Vector3d;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// How far a crossing may lie outside a triangle, in barycentric units, so that a
// segment through an edge shared by two triangles hits at least one of them despite
// rounding.
constexpr double kEdgeTolerance = 1e-10;

// Where the segment from + t direction, t in [0, limit], enters `box`: false when it
// misses it, or reaches it only past `limit`.
bool EnterBox(const Eigen::AlignedBox3d& box, const Vector3d& from, const Vector3d& direction, double limit,
              double& enter) noexcept {
  double low = 0.0;
  double high = limit;
  for (int axis = 0; axis < 3; ++axis) {
    if (direction[axis] == 0.0) {
      if (from[axis] < box.min()[axis] || from[axis] > box.max()[axis]) return false;
      continue;
    }
    const double inverse = 1.0 / direction[axis];
    double near = (box.min()[axis] - from[axis]) * inverse;
    double far = (box.max()[axis] - from[axis]) * inverse;
    if (near > far) std::swap(near, far);
    low = std::max(low, near);
    high = std::min(high, far);
    if (low > high) return false;
  }
  enter = low;
  return true;
}

// Möller and Trumbore's segment-triangle test, for front faces only: det is
// -direction . (b - a) x (c - a), positive when the segment runs against the normal.
// A start up to `behind` (a fraction) behind the triangle crosses it at 0.
bool CrossFront(const Vector3d& a, const Vector3d& b, const Vector3d& c, const Vector3d& from,
                const Vector3d& direction, double behind, double& fraction) noexcept {
  const Vector3d edge1 = b - a;
  const Vector3d edge2 = c - a;
  const Vector3d p = direction.cross(edge2);
  const double det = edge1.dot(p);
  if (!(det > 0.0)) return false;
  const Vector3d offset = from - a;
  const double u = offset.dot(p);
  if (u < -kEdgeTolerance * det || u > (1.0 + kEdgeTolerance) * det) return false;
  const Vector3d q = offset.cross(edge1);
  const double v = direction.dot(q);
  if (v < -kEdgeTolerance * det || u + v > (1.0 + kEdgeTolerance) * det) return false;
  fraction = edge2.dot(q) / det;
  if (fraction < -behind) return false;
  fraction = std::max(fraction, 0.0);
  return true;
}

// The projections of `offset` on a triangle's edges from its first corner.
std::pair<double, double> Along(const Vector3d& ab, const Vector3d& ac, const Vector3d& offset) noexcept {
  return {ab.dot(offset), ac.dot(offset)};
}

struct Closest {
  Vector3d point;
  Feature feature;
};

// The point of the triangle nearest to p, by the Voronoi regions of its corners and
// edges (Ericson, Real-Time Collision Detection, 5.1.5).
Closest ClosestOnTriangle(const Vector3d& p, const Vector3d& a, const Vector3d& b, const Vector3d& c) noexcept {
  const Vector3d ab = b - a;
  const Vector3d ac = c - a;
  const auto [d1, d2] = Along(ab, ac, p - a);
  if (d1 <= 0.0 && d2 <= 0.0) return {a, Feature::kCorner0};
  const auto [d3, d4] = Along(ab, ac, p - b);
  if (d3 >= 0.0 && d4 <= d3) return {b, Feature::kCorner1};
  const double vc = d1 * d4 - d3 * d2;
  if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) return {a + (d1 / (d1 - d3)) * ab, Feature::kEdge0};
  const auto [d5, d6] = Along(ab, ac, p - c);
  if (d6 >= 0.0 && d5 <= d6) return {c, Feature::kCorner2};
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) return {a + (d2 / (d2 - d6)) * ac, Feature::kEdge2};
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0.0 && d4 >= d3 && d5 >= d6) {
    return {b + ((d4 - d3) / ((d4 - d3) + (d5 - d6))) * (c - b), Feature::kEdge1};
  }
  const double scale = 1.0 / (va + vb + vc);
  return {a + ab * (vb * scale) + ac * (vc * scale), Feature::kFace};
}

}  // namespace

TriangleTree::TriangleTree(const std::vector<Vector3d>& vertices,
                           const std::vector<std::array<std::uint32_t, 3>>& triangles) {
  if (triangles.empty()) throw std::invalid_argument("a triangle tree needs triangles");
  const auto count = static_cast<std::uint32_t>(triangles.size());
  std::vector<Corners> corners(count);
  std::vector<Vector3d> centroids(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    corners[i] = {vertices[triangles[i][0]], vertices[triangles[i][1]], vertices[triangles[i][2]]};
    centroids[i] = (corners[i].a + corners[i].b + corners[i].c) / 3.0;
  }
  ids_.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) ids_[i] = i;
  nodes_.reserve(count);  // leaves hold 2 triangles at least, so there are fewer nodes
  Build(corners, centroids, 0, count);
  corners_.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) corners_[i] = corners[ids_[i]];
}

// Builds the subtree over ids_[begin, end) depth first, so that a node's first child
// follows it; returns the node's index.
std::uint32_t TriangleTree::Build(const std::vector<Corners>& corners, const std::vector<Vector3d>& centroids,
                                  std::uint32_t begin, std::uint32_t end) {
  const auto index = static_cast<std::uint32_t>(nodes_.size());
  nodes_.push_back({Eigen::AlignedBox3d(), begin, end - begin});
  if (end - begin <= static_cast<std::uint32_t>(kLeafSize)) {
    Eigen::AlignedBox3d box;
    for (std::uint32_t i = begin; i < end; ++i) {
      const Corners& triangle = corners[ids_[i]];
      box.extend(triangle.a).extend(triangle.b).extend(triangle.c);
    }
    // Room for starts just behind a triangle, and for crossings that the edge tolerance
    // lets lie just outside one.
    const double margin = kTouch + 1e-9 * box.diagonal().norm();
    nodes_[index].box = Eigen::AlignedBox3d(box.min().array() - margin, box.max().array() + margin);
    return index;
  }
  Eigen::AlignedBox3d spread;
  for (std::uint32_t i = begin; i < end; ++i) spread.extend(centroids[ids_[i]]);
  int axis = 0;
  spread.diagonal().maxCoeff(&axis);
  const std::uint32_t middle = begin + (end - begin) / 2;
  std::nth_element(ids_.begin() + begin, ids_.begin() + middle, ids_.begin() + end,
                   [&](std::uint32_t x, std::uint32_t y) { return centroids[x][axis] < centroids[y][axis]; });
  const std::uint32_t first = Build(corners, centroids, begin, middle);
  const std::uint32_t second = Build(corners, centroids, middle, end);
  nodes_[index] = {nodes_[first].box.merged(nodes_[second].box), second, 0};
  return index;
}

bool TriangleTree::FirstFrontHit(const Vector3d& from, const Vector3d& to, Hit& hit) const noexcept {
  const Vector3d direction = to - from;
  const double behind = kTouch / direction.norm();
  double best = kInfinity;
  struct Pending {
    std::uint32_t node;
    double enter;
  };
  Pending stack[kStackSize];
  int size = 0;
  double enter = 0.0;
  if (!EnterBox(nodes_[0].box, from, direction, 1.0, enter)) return false;
  Pending current{0, enter};
  for (;;) {
    const Node& node = nodes_[current.node];
    if (current.enter <= best && node.count > 0) {
      for (std::uint32_t i = node.first; i < node.first + node.count; ++i) {
        const Corners& triangle = corners_[i];
        double fraction = 0.0;
        if (CrossFront(triangle.a, triangle.b, triangle.c, from, direction, behind, fraction) && fraction <= 1.0 &&
            fraction < best) {
          best = fraction;
          hit = {fraction, ids_[i]};
        }
      }
    } else if (current.enter <= best) {
      const double limit = std::min(best, 1.0);
      Pending first{current.node + 1, kInfinity};
      Pending second{node.first, kInfinity};
      const bool enters_first = EnterBox(nodes_[first.node].box, from, direction, limit, first.enter);
      const bool enters_second = EnterBox(nodes_[second.node].box, from, direction, limit, second.enter);
      if (enters_first && enters_second) {
        if (second.enter < first.enter) std::swap(first, second);
        stack[size++] = second;
        current = first;
        continue;
      }
      if (enters_first || enters_second) {
        current = enters_first ? first : second;
        continue;
      }
    }
    if (size == 0) break;
    current = stack[--size];
  }
  return best <= 1.0;
}

TriangleTree::Nearest TriangleTree::NearestPoint(const Vector3d& point) const noexcept {
  Nearest nearest;
  nearest.squared_distance = kInfinity;
  struct Pending {
    std::uint32_t node;
    double bound;  // the squared distance to the node's box
  };
  Pending stack[kStackSize];
  int size = 0;
  Pending current{0, nodes_[0].box.squaredExteriorDistance(point)};
  for (;;) {
    const Node& node = nodes_[current.node];
    if (current.bound < nearest.squared_distance && node.count > 0) {
      for (std::uint32_t i = node.first; i < node.first + node.count; ++i) {
        const Corners& triangle = corners_[i];
        const Closest closest = ClosestOnTriangle(point, triangle.a, triangle.b, triangle.c);
        const double squared = (point - closest.point).squaredNorm();
        if (squared < nearest.squared_distance) nearest = {closest.point, squared, ids_[i], closest.feature};
      }
    } else if (current.bound < nearest.squared_distance) {
      Pending first{current.node + 1, nodes_[current.node + 1].box.squaredExteriorDistance(point)};
      Pending second{node.first, nodes_[node.first].box.squaredExteriorDistance(point)};
      if (second.bound < first.bound) std::swap(first, second);
      stack[size++] = second;
      current = first;
      continue;
    }
    if (size == 0) break;
    current = stack[--size];
  }
  return nearest;
}

}  // namespace Tavix::HardwareAPI::Rendering
