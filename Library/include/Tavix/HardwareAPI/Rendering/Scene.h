#pragma once

#include <memory>
#include <vector>

#include "Tavix/HardwareAPI/Rendering/ProxyState.h"
#include "Tavix/HardwareAPI/Rendering/Shape.h"
#include "Tavix/HardwareAPI/Servo/Effect.h"
#include "Tavix/HardwareAPI/Vector3.h"

namespace Tavix::HardwareAPI::Rendering {

/// Solid shapes felt through a god object: an effect that a `Servo::ServoLoop` renders
/// (`Add` it to the loop), or that a program steps itself (`Step`).
///
/// The proxy. A point that follows the end effector but never passes into a shape,
/// however fast the end effector moves: out of contact it is where the end effector is;
/// in contact it rests on the surface at the point nearest the end effector that it can
/// reach by sliding (along up to three surfaces at once, so that edges, corners and the
/// seams between shapes hold), held back by the touched shape's friction. A shape that
/// moves carries the proxy it touches, and pushes ahead the proxy it moves onto, from
/// where its surface met it: moving shapes push the end effector. A shape added over the
/// proxy puts it out at its nearest surface. The force pulls the end effector towards
/// the proxy through the touched shape's spring, with its damper along the contact
/// normal (`ProxyState::normal`); the damper may soften the push down to zero, never
/// turn it into a pull. At rest, the force is the stiffness times the depth reached
/// below the surface. Pulling the end effector out of a shape releases the proxy, which
/// then follows it again.
///
/// Each step reads every shape's pose and material once, at its start, so that it sees
/// them consistently; a change shows from the first step that begins after it.
///
/// Threads. The shapes (`Add`, `Remove`, `Clear`, and each shape's setters), `Proxy` and
/// `Reset` may be called from any thread at any time, while a loop renders. One thread
/// renders a scene at a time: a `Force` called while another thread renders it (a scene
/// added to two running loops) returns zero force at once and changes nothing; `Step`
/// throws then. A rendering step never waits for another thread, never allocates and
/// never throws: the shape list is replaced whole by the thread that changes it, and
/// freed by that thread once no step reads it any more.
///
/// Scenes are shared (std::shared_ptr) and cannot be copied.
class Scene : public Servo::Effect {
 public:
  Scene();
  ~Scene() override;

  /// Adds `shape`; returns false (and changes nothing) if it is there already. Throws
  /// std::invalid_argument for null. May wait a few microseconds for a rendering step to
  /// finish with the current list.
  bool Add(std::shared_ptr<Shape> shape);
  /// Removes `shape`; returns false if it was not there. Waits as `Add` does. A proxy
  /// touching it is released at the next step.
  bool Remove(const std::shared_ptr<Shape>& shape);
  /// Removes every shape. Waits as `Add` does.
  void Clear();
  /// The shapes, in the order added.
  std::vector<std::shared_ptr<Shape>> Shapes() const;

  /// The proxy after the last step; the default state (at the origin, out of contact)
  /// before the first. Never waits for a rendering step; may wait a few microseconds for
  /// a thread changing the shapes.
  ProxyState Proxy() const;

  /// One step without a loop, the same as a loop's tick: the end effector at `position`
  /// (m), `dt` (s) after the previous step; its velocity is worked out from the previous
  /// step's position (zero at the first step, and at the first after a `Reset`). Returns
  /// the force (N). Throws std::invalid_argument for a position that is not finite or a
  /// `dt` that is not a finite number above 0, and std::logic_error while another thread
  /// renders the scene; either way nothing changes.
  Vector3 Step(const Vector3& position, double dt);

  /// Makes the proxy forget its contact: the next step (a tick or a `Step`) starts it
  /// on the end effector, or at the nearest surface if the end effector is inside a
  /// shape. Never waits.
  void Reset() noexcept;

  /// The loop's tick: the force for the end effector at `position` moving at `velocity`
  /// (see the class comment). Zero, with nothing changed, for a position or velocity that
  /// is not finite, or while another thread renders the scene.
  Vector3 Force(const Vector3& position, const Vector3& velocity) const noexcept override;

  /// The largest stiffness (N/m) among the shapes' materials at the last rendering step
  /// (a tick or a `Step`); 0 before the first, and for a step without shapes. Any thread;
  /// never waits.
  float Stiffness() const noexcept override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace Tavix::HardwareAPI::Rendering
