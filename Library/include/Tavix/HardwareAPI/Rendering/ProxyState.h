#pragma once

#include <memory>

#include "Tavix/HardwareAPI/Rendering/Shape.h"
#include "Tavix/HardwareAPI/Vector3.h"

namespace Tavix::HardwareAPI::Rendering {

/// Where a scene's proxy was after the last step rendered, and what it touched.
struct ProxyState {
  /// m, in the scene's frame: on the device out of contact, on the surface in contact.
  Vector3 position{};
  bool in_contact = false;
  /// The shape touched, if it is still in the scene; null out of contact, or once removed.
  std::shared_ptr<Shape> shape;
  /// In contact, the unit direction the surface pushes the device in: the touched face's
  /// outward normal, or between faces at an edge or a corner. Zero out of contact.
  Vector3 normal{};
};

}  // namespace Tavix::HardwareAPI::Rendering
