#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

#include "Tavix/HardwareAPI/Vector3.h"

namespace Tavix::Testing {

/// A closed triangle mesh: vertices (m) and counter-clockwise triangles of indices.
struct TriangleMesh {
  std::vector<HardwareAPI::Vector3> vertices;
  std::vector<std::array<std::uint32_t, 3>> triangles;
};

/// A geodesic sphere of `radius` around the origin: each face of an icosahedron cut into
/// frequency^2 triangles, projected onto the sphere; 20 x frequency^2 triangles (22 gives
/// about 10k, 32 about 20k, 71 about 100k). Shared vertices are shared indices.
inline TriangleMesh Icosphere(float radius, int frequency) {
  const double t = (1.0 + std::sqrt(5.0)) / 2.0;
  const double corners[12][3] = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0}, {0, -1, t}, {0, 1, t},
                                 {0, -1, -t}, {0, 1, -t}, {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
  const int faces[20][3] = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
                            {11, 10, 2}, {10, 7, 6}, {7, 1, 8},  {3, 9, 4},  {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
                            {3, 8, 9},  {4, 9, 5},  {2, 4, 11}, {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
  TriangleMesh mesh;
  std::map<std::tuple<long, long, long>, std::uint32_t> index_of;  // by position, rounded
  auto vertex = [&](const double* a, const double* b, const double* c, int i, int j) {
    double p[3];
    for (int k = 0; k < 3; ++k) p[k] = a[k] + (b[k] - a[k]) * i / frequency + (c[k] - a[k]) * j / frequency;
    const double length = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    const auto key = std::make_tuple(std::lround(p[0] / length * 1e9), std::lround(p[1] / length * 1e9),
                                     std::lround(p[2] / length * 1e9));
    const auto found = index_of.find(key);
    if (found != index_of.end()) return found->second;
    const auto index = static_cast<std::uint32_t>(mesh.vertices.size());
    mesh.vertices.push_back({static_cast<float>(radius * p[0] / length), static_cast<float>(radius * p[1] / length),
                             static_cast<float>(radius * p[2] / length)});
    index_of.emplace(key, index);
    return index;
  };
  for (const auto& face : faces) {
    const double* a = corners[face[0]];
    const double* b = corners[face[1]];
    const double* c = corners[face[2]];
    for (int i = 0; i < frequency; ++i) {
      for (int j = 0; i + j < frequency; ++j) {
        mesh.triangles.push_back({vertex(a, b, c, i, j), vertex(a, b, c, i + 1, j), vertex(a, b, c, i, j + 1)});
        if (i + j + 1 < frequency) {
          mesh.triangles.push_back(
              {vertex(a, b, c, i + 1, j), vertex(a, b, c, i + 1, j + 1), vertex(a, b, c, i, j + 1)});
        }
      }
    }
  }
  return mesh;
}

}  // namespace Tavix::Testing
