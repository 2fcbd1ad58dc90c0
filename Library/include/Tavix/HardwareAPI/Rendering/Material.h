#pragma once

namespace Tavix::HardwareAPI::Rendering {

/// How a shape's surface feels through the proxy: the virtual coupling's spring and
/// damper, and the friction that holds the proxy on the surface. The proxy sticks while
/// the coupling's sideways force stays within static_friction x its normal force, and
/// slides against dynamic_friction x the normal force once it has left that cone.
struct Material {
  float stiffness = 1000.0f;      ///< N/m
  float damping = 0.0f;           ///< N s/m, along the contact normal
  float static_friction = 0.0f;   ///< coefficient, >= dynamic_friction
  float dynamic_friction = 0.0f;  ///< coefficient
};

}  // namespace Tavix::HardwareAPI::Rendering
