#include "Tavix/HardwareAPI/Rendering/Mesh.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>
#include <string>
#include <utility>

#include "Geometry.h"
#include "Inputs.h"
#include "TriangleTree.h"

namespace Tavix::HardwareAPI::Rendering {
namespace {

using Eigen::Vector3d;
using Triangles = std::vector<std::array<std::uint32_t, 3>>;

std::vector<Vector3d> CheckedVertices(const std::vector<Vector3>& vertices) {
  std::vector<Vector3d> checked;
  checked.reserve(vertices.size());
  for (std::size_t i = 0; i < vertices.size(); ++i) {
    checked.push_back(CheckedPoint(vertices[i], ("vertex " + std::to_string(i)).c_str()));
  }
  return checked;
}

// For each vertex, the first vertex at the same position: a mesh given as separate
// triangles (as STL files give it) becomes one connected surface.
std::vector<std::uint32_t> Welded(const std::vector<Vector3d>& vertices) {
  std::vector<std::uint32_t> order(vertices.size());
  std::iota(order.begin(), order.end(), 0u);
  const auto before = [&](std::uint32_t x, std::uint32_t y) {
    const Vector3d& a = vertices[x];
    const Vector3d& b = vertices[y];
    return std::tie(a.x(), a.y(), a.z(), x) < std::tie(b.x(), b.y(), b.z(), y);
  };
  std::sort(order.begin(), order.end(), before);
  std::vector<std::uint32_t> first(vertices.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    const bool again = i > 0 && vertices[order[i]] == vertices[order[i - 1]];
    first[order[i]] = again ? first[order[i - 1]] : order[i];
  }
  return first;
}

// The triangles with their vertices welded, less those of zero area.
Triangles KeptTriangles(const std::vector<Vector3d>& vertices, const Triangles& triangles) {
  const std::vector<std::uint32_t> welded = Welded(vertices);
  Triangles kept;
  kept.reserve(triangles.size());
  for (std::size_t i = 0; i < triangles.size(); ++i) {
    std::array<std::uint32_t, 3> triangle = triangles[i];
    for (std::uint32_t& index : triangle) {
      if (index >= vertices.size()) {
        throw std::invalid_argument("triangle " + std::to_string(i) + " has an index past the " +
                                    std::to_string(vertices.size()) + " vertices");
      }
      index = welded[index];
    }
    const Vector3d& a = vertices[triangle[0]];
    if ((vertices[triangle[1]] - a).cross(vertices[triangle[2]] - a).squaredNorm() > 0.0) kept.push_back(triangle);
  }
  if (triangles.empty()) throw std::invalid_argument("a mesh needs triangles");
  if (kept.empty()) throw std::invalid_argument("a mesh needs a triangle of non-zero area");
  return kept;
}

Vector3d UnitOrZero(const Vector3d& vector) {
  const double length = vector.norm();
  return length > 0.0 ? Vector3d(vector / length) : Vector3d::Zero();
}

// A closed triangle surface. The sign of a distance comes from the pseudo-normal of
// the feature nearest (Bærentzen and Aanæs, 2005): the face normal inside a face, the
// sum of the adjacent faces' normals on an edge, their sum weighted by the angles they
// make at a corner. Unlike the normal of whichever triangle happens to be nearest, it
// gives the right side near edges and corners, convex or not.
class MeshGeometry final : public Geometry {
 public:
  MeshGeometry(const std::vector<Vector3d>& vertices, Triangles triangles)
      : triangles_(std::move(triangles)), tree_(vertices, triangles_) {
    SetNormals(vertices);
  }

  std::size_t TriangleCount() const noexcept { return triangles_.size(); }

  bool FirstEntry(const Vector3d& from, const Vector3d& to, Entry& entry) const noexcept override {
    TriangleTree::Hit hit;
    if (!tree_.FirstFrontHit(from, to, hit)) return false;
    entry.fraction = hit.fraction;
    entry.normal = face_normals_[hit.triangle];
    return true;
  }

  Nearest NearestSurface(const Vector3d& point) const noexcept override {
    const TriangleTree::Nearest found = tree_.NearestPoint(point);
    const Vector3d pseudo_normal = PseudoNormal(found.triangle, found.feature);
    const Vector3d away = point - found.point;
    const double length = std::sqrt(found.squared_distance);
    const double side = away.dot(pseudo_normal) < 0.0 ? -1.0 : 1.0;
    Nearest nearest;
    nearest.point = found.point;
    nearest.distance = side * length;
    if (found.feature == Feature::kFace) {
      nearest.normal = face_normals_[found.triangle];
    } else {
      nearest.normal = length > 0.0 ? Vector3d(side * away / length) : pseudo_normal;
    }
    return nearest;
  }

  Eigen::AlignedBox3d Bounds() const noexcept override { return tree_.Bounds(); }

 private:
  void SetNormals(const std::vector<Vector3d>& vertices);
  void SetEdgeNormals();
  Vector3d PseudoNormal(std::uint32_t triangle, Feature feature) const noexcept;

  Triangles triangles_;
  TriangleTree tree_;
  std::vector<Vector3d> face_normals_;
  std::vector<Vector3d> edge_normals_;    // three a triangle, edge i from corner i to corner i + 1
  std::vector<Vector3d> vertex_normals_;  // zero where the faces around a vertex cancel
};

void MeshGeometry::SetNormals(const std::vector<Vector3d>& vertices) {
  face_normals_.resize(triangles_.size());
  std::vector<Vector3d> sums(vertices.size(), Vector3d::Zero());
  for (std::size_t t = 0; t < triangles_.size(); ++t) {
    const std::array<std::uint32_t, 3>& triangle = triangles_[t];
    const Vector3d& a = vertices[triangle[0]];
    face_normals_[t] = (vertices[triangle[1]] - a).cross(vertices[triangle[2]] - a).normalized();
    for (int corner = 0; corner < 3; ++corner) {
      const Vector3d& at = vertices[triangle[corner]];
      const Vector3d next = vertices[triangle[(corner + 1) % 3]] - at;
      const Vector3d previous = vertices[triangle[(corner + 2) % 3]] - at;
      const double angle = std::atan2(next.cross(previous).norm(), next.dot(previous));
      sums[triangle[corner]] += angle * face_normals_[t];
    }
  }
  vertex_normals_.resize(vertices.size());
  std::transform(sums.begin(), sums.end(), vertex_normals_.begin(), UnitOrZero);
  SetEdgeNormals();
}

// Finds the triangles around each edge by sorting the edges' vertex pairs.
void MeshGeometry::SetEdgeNormals() {
  std::vector<std::pair<std::uint64_t, std::uint32_t>> edges;  // vertex pair, 3 x triangle + edge
  edges.reserve(3 * triangles_.size());
  for (std::size_t t = 0; t < triangles_.size(); ++t) {
    for (std::uint32_t edge = 0; edge < 3; ++edge) {
      const std::uint64_t start = triangles_[t][edge];
      const std::uint64_t end = triangles_[t][(edge + 1) % 3];
      edges.emplace_back(std::min(start, end) << 32 | std::max(start, end), static_cast<std::uint32_t>(3 * t + edge));
    }
  }
  std::sort(edges.begin(), edges.end());
  edge_normals_.resize(edges.size());
  for (std::size_t begin = 0, end = 0; begin < edges.size(); begin = end) {
    Vector3d sum = Vector3d::Zero();
    for (end = begin; end < edges.size() && edges[end].first == edges[begin].first; ++end) {
      sum += face_normals_[edges[end].second / 3];
    }
    for (std::size_t i = begin; i < end; ++i) edge_normals_[edges[i].second] = UnitOrZero(sum);
  }
}

Vector3d MeshGeometry::PseudoNormal(std::uint32_t triangle, Feature feature) const noexcept {
  Vector3d normal = face_normals_[triangle];
  switch (feature) {
    case Feature::kFace:
      break;
    case Feature::kEdge0:
    case Feature::kEdge1:
    case Feature::kEdge2:
      normal = edge_normals_[3 * triangle + (static_cast<int>(feature) - static_cast<int>(Feature::kEdge0))];
      break;
    case Feature::kCorner0:
    case Feature::kCorner1:
    case Feature::kCorner2:
      normal = vertex_normals_[triangles_[triangle][static_cast<int>(feature) - static_cast<int>(Feature::kCorner0)]];
      break;
  }
  // A fin (two faces back to back) or a vertex where faces cancel has no side; take the face's.
  return normal.isZero(0.0) ? face_normals_[triangle] : normal;
}

std::shared_ptr<const MeshGeometry> MeshSurface(const std::vector<Vector3>& vertices, const Triangles& triangles) {
  const std::vector<Vector3d> checked = CheckedVertices(vertices);
  return std::make_shared<MeshGeometry>(checked, KeptTriangles(checked, triangles));
}

}  // namespace

Mesh::Mesh(std::vector<Vector3> vertices, std::vector<std::array<std::uint32_t, 3>> triangles, const Material& material)
    : Shape(MeshSurface(vertices, triangles), Pose{}, material),
      triangle_count_(static_cast<const MeshGeometry&>(Surface()).TriangleCount()) {}

}  // namespace Tavix::HardwareAPI::Rendering
