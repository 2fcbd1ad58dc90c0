#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <Eigen/Geometry>

namespace Tavix::HardwareAPI::Rendering {

/// Which part of a triangle a nearest point lies on. Edge i runs from corner i to
/// corner (i + 1) % 3.
enum class Feature : std::uint8_t { kFace, kEdge0, kEdge1, kEdge2, kCorner0, kCorner1, kCorner2 };

/// A bounding-volume tree over triangles, for segment and nearest-point queries.
///
/// Built once on the caller's thread: a flat array of nodes, each with the box of its
/// triangles, split on the longest axis of the centroids' box at the median, down to a
/// few triangles a leaf. Median splits halve the triangles at each level, so with 32-bit
/// triangle indices the tree is at most 32 levels deep and a query's fixed stack of
/// kStackSize entries always suffices. Queries are const, allocate nothing and never
/// throw: any number of threads may run them at once.
class TriangleTree {
 public:
  struct Hit {
    double fraction = 0.0;
    std::uint32_t triangle = 0;  ///< index into the triangles given to the constructor
  };

  struct Nearest {
    Eigen::Vector3d point = Eigen::Vector3d::Zero();
    double squared_distance = 0.0;
    std::uint32_t triangle = 0;
    Feature feature = Feature::kFace;
  };

  static constexpr int kLeafSize = 4;
  static constexpr int kStackSize = 64;

  /// `triangles` index `vertices`, all in range and of non-zero area (the caller checks).
  /// Throws std::invalid_argument for no triangles.
  TriangleTree(const std::vector<Eigen::Vector3d>& vertices,
               const std::vector<std::array<std::uint32_t, 3>>& triangles);

  /// The first triangle the segment from + t (to - from), t in [0, 1], crosses from the
  /// front (against the right-hand normal); triangles crossed from behind or edge-on do
  /// not count. False when there is none.
  bool FirstFrontHit(const Eigen::Vector3d& from, const Eigen::Vector3d& to, Hit& hit) const noexcept;

  /// The point of the triangles nearest to `point`.
  Nearest NearestPoint(const Eigen::Vector3d& point) const noexcept;

  Eigen::AlignedBox3d Bounds() const noexcept { return nodes_.front().box; }

 private:
  struct Node {
    Eigen::AlignedBox3d box;
    std::uint32_t first;  // a leaf's first triangle; an inner node's second child (the first is next)
    std::uint32_t count;  // a leaf's triangles; 0 for an inner node
  };

  struct Corners {
    Eigen::Vector3d a, b, c;
  };

  std::uint32_t Build(const std::vector<Corners>& corners, const std::vector<Eigen::Vector3d>& centroids,
                      std::uint32_t begin, std::uint32_t end);

  std::vector<Node> nodes_;
  std::vector<Corners> corners_;    // the triangles in leaf order
  std::vector<std::uint32_t> ids_;  // each one's index as given
};

}  // namespace Tavix::HardwareAPI::Rendering
