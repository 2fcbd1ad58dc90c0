#include "Tavix/HardwareAPI/Rendering/Scene.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "Proxy.h"
#include "Servo/SharedList.h"
#include "Tavix/HardwareAPI/Servo/ParameterBlock.h"

namespace Tavix::HardwareAPI::Rendering {
namespace {

// Each list of shapes carries one obstacle per shape: where the step in progress sees it.
using ShapeList = Servo::SharedList<Shape, Obstacle>;

// The proxy as `Proxy` reads it.
struct Published {
  Vector3 position{};
  Vector3 normal{};
  std::uint64_t shape = 0;  // the serial of the shape touched in the shape list
  bool in_contact = false;
};

bool Finite(const Vector3& vector) noexcept {
  return std::isfinite(vector[0]) && std::isfinite(vector[1]) && std::isfinite(vector[2]);
}

Eigen::Vector3d Widened(const Vector3& vector) noexcept { return {vector[0], vector[1], vector[2]}; }

Vector3 Narrowed(const Eigen::Vector3d& vector) noexcept {
  return {static_cast<float>(vector.x()), static_cast<float>(vector.y()), static_cast<float>(vector.z())};
}

}  // namespace

struct Scene::Impl {
  bool BeginTurn() noexcept;
  void EndTurn() noexcept { rendering.clear(std::memory_order_release); }
  Eigen::Vector3d Render(const Eigen::Vector3d& position, const Eigen::Vector3d& velocity) noexcept;
  void Publish() noexcept;

  ShapeList shapes;
  // Set by the thread rendering. Acquire and release hand the solver over from one
  // rendering thread to the next.
  std::atomic_flag rendering = ATOMIC_FLAG_INIT;
  std::atomic<bool> reset_asked{false};
  // Stored by the thread rendering alone, so its writers' mutex is never contended.
  Servo::ParameterBlock<Published> published{Published{}};
  // The largest stiffness of the last step's shapes; stored by the thread rendering and
  // read by any (the loop's, for its stiffness check), relaxed: one number, no order.
  std::atomic<float> stiffest{0.0f};

  // The thread rendering's.
  ProxySolver solver;
  bool stepped = false;  // a `Step` gave `last_step`
  Eigen::Vector3d last_step = Eigen::Vector3d::Zero();
};

// Takes the turn to render, and applies a reset asked for meanwhile; false while
// another thread has the turn.
bool Scene::Impl::BeginTurn() noexcept {
  if (rendering.test_and_set(std::memory_order_acquire)) return false;
  if (reset_asked.exchange(false)) {
    solver.Reset();
    stepped = false;
  }
  return true;
}

// One step of the proxy on a snapshot of the shapes taken now.
Eigen::Vector3d Scene::Impl::Render(const Eigen::Vector3d& position, const Eigen::Vector3d& velocity) noexcept {
  Eigen::Vector3d force = Eigen::Vector3d::Zero();
  float stiffness = 0.0f;
  shapes.Read([&](const ShapeList::List& list) {
    for (std::size_t i = 0; i < list.items.size(); ++i) {
      const Shape& shape = *list.items[i];
      Place(list.scratch[i], shape.Surface(), shape.GetPose(), shape.GetMaterial(), list.serials[i]);
      stiffness = std::max(stiffness, list.scratch[i].material.stiffness);
    }
    force = solver.Step(list.scratch, position, velocity);
  });
  stiffest.store(stiffness, std::memory_order_relaxed);
  Publish();
  return force;
}

void Scene::Impl::Publish() noexcept {
  Published now;
  now.position = Narrowed(solver.Position());
  now.in_contact = solver.InContact();
  if (now.in_contact) {
    now.normal = Narrowed(solver.Normal());
    now.shape = solver.ContactShape();
  }
  published.Store(now);
}

Scene::Scene() : impl_(std::make_unique<Impl>()) {}

Scene::~Scene() = default;

bool Scene::Add(std::shared_ptr<Shape> shape) {
  if (!shape) throw std::invalid_argument("the shape must not be null");
  return impl_->shapes.Add(std::move(shape));
}

bool Scene::Remove(const std::shared_ptr<Shape>& shape) { return impl_->shapes.Remove(shape); }

void Scene::Clear() { impl_->shapes.Clear(); }

std::vector<std::shared_ptr<Shape>> Scene::Shapes() const { return impl_->shapes.Snapshot(); }

ProxyState Scene::Proxy() const {
  const Published now = impl_->published.Load();
  ProxyState state;
  state.position = now.position;
  state.in_contact = now.in_contact;
  state.normal = now.normal;
  if (now.in_contact) state.shape = impl_->shapes.Find(now.shape);
  return state;
}

Vector3 Scene::Step(const Vector3& position, double dt) {
  if (!Finite(position)) throw std::invalid_argument("the position must be finite");
  if (!(dt > 0.0) || !std::isfinite(dt)) throw std::invalid_argument("dt must be a finite number above 0");
  if (!impl_->BeginTurn()) throw std::logic_error("another thread is rendering the scene");
  const Eigen::Vector3d now = Widened(position);
  const Eigen::Vector3d velocity = impl_->stepped ? Eigen::Vector3d((now - impl_->last_step) / dt)
                                                  : Eigen::Vector3d::Zero();
  impl_->stepped = true;
  impl_->last_step = now;
  const Eigen::Vector3d force = impl_->Render(now, velocity);
  impl_->EndTurn();
  return Narrowed(force);
}

void Scene::Reset() noexcept { impl_->reset_asked.store(true); }

float Scene::Stiffness() const noexcept { return impl_->stiffest.load(std::memory_order_relaxed); }

Vector3 Scene::Force(const Vector3& position, const Vector3& velocity) const noexcept {
  if (!Finite(position) || !Finite(velocity) || !impl_->BeginTurn()) return {0.0f, 0.0f, 0.0f};
  const Eigen::Vector3d force = impl_->Render(Widened(position), Widened(velocity));
  impl_->EndTurn();
  return Narrowed(force);
}

}  // namespace Tavix::HardwareAPI::Rendering
