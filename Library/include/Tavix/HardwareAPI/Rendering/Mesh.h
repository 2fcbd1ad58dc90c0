#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Tavix/HardwareAPI/Rendering/Shape.h"

namespace Tavix::HardwareAPI::Rendering {

/// A surface of triangles. Each triangle lists three indices into the vertices,
/// counter-clockwise seen from outside (the right-hand rule gives the outward normal).
/// Vertices at the same position are taken as one, so a mesh given as separate
/// triangles (as STL files give it) is still one connected surface.
///
/// A closed mesh is a solid. The proxy enters the surface only through the front of a
/// triangle, never from behind, so an open mesh is felt from its front side only. The
/// distance to the surface is signed by the normals of the faces, edges and corners
/// nearest, which gives the side right near edges and corners of a closed mesh; for an
/// open mesh the side is the front or back of the nearest triangle.
///
/// The constructor builds a bounding-volume tree over the triangles on the caller's
/// thread (about 60 ms for 100 000 triangles), so that the servo loop's queries take a
/// few microseconds. Its own frame is the vertices' frame; the pose starts at the
/// identity.
class Mesh : public Shape {
 public:
  /// Drops triangles of zero area. Throws std::invalid_argument for a vertex that is not
  /// finite, an index past the vertices, no triangle of non-zero area, or a material
  /// `SetMaterial` would refuse. Caller's thread.
  Mesh(std::vector<Vector3> vertices, std::vector<std::array<std::uint32_t, 3>> triangles,
       const Material& material = {});

  /// The triangles kept (those of non-zero area).
  std::size_t TriangleCount() const noexcept { return triangle_count_; }

 private:
  std::size_t triangle_count_;
};

}  // namespace Tavix::HardwareAPI::Rendering
