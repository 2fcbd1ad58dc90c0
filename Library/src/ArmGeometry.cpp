#include "Tavix/HardwareAPI/ArmGeometry.h"

#include <cmath>

namespace Tavix::HardwareAPI {
namespace {

constexpr float kToolOffset = -0.052f;  // added to the extension
constexpr float kBaseHeight = 0.18645f;  // along the linkage's first planar axis
constexpr float kCoincidentElbows = 1e-6f;

struct Quaternion {
  float x, y, z, w;
};
// Orientation of the linkage frame in the device frame; applied as written, unnormalised.
constexpr Quaternion kBaseRotation{0.0f, 0.7071f, 0.0f, 0.7071f};

// Trigonometry in double precision on binary32 inputs, results stored as binary32.
float Cos(float angle) { return static_cast<float>(std::cos(static_cast<double>(angle))); }
float Sin(float angle) { return static_cast<float>(std::sin(static_cast<double>(angle))); }
float Acos(float x) { return static_cast<float>(std::acos(static_cast<double>(x))); }
float Atan2(float y, float x) {
  return static_cast<float>(std::atan2(static_cast<double>(y), static_cast<double>(x)));
}

float DegreesToRadians(float degrees) { return degrees * ArmGeometry::kPi / 180.0f; }

// R(q) v with the rotation matrix written out from q's components.
Vector3 Rotate(const Quaternion& q, const Vector3& v) {
  const float r00 = 1 - 2 * (q.y * q.y + q.z * q.z), r01 = 2 * (q.x * q.y - q.z * q.w),
              r02 = 2 * (q.x * q.z + q.y * q.w);
  const float r10 = 2 * (q.x * q.y + q.z * q.w), r11 = 1 - 2 * (q.x * q.x + q.z * q.z),
              r12 = 2 * (q.y * q.z - q.x * q.w);
  const float r20 = 2 * (q.x * q.z - q.y * q.w), r21 = 2 * (q.y * q.z + q.x * q.w),
              r22 = 1 - 2 * (q.x * q.x + q.y * q.y);
  return {r00 * v[0] + r01 * v[1] + r02 * v[2], r10 * v[0] + r11 * v[1] + r12 * v[2],
          r20 * v[0] + r21 * v[1] + r22 * v[2]};
}

}  // namespace

ArmGeometry& ArmGeometry::Instance() {
  static ArmGeometry shared;
  return shared;
}

ArmGeometry::ArmGeometry() = default;

void ArmGeometry::configure(float inner_arm_1, float outer_arm_1, float inner_arm_2,
                            float outer_arm_2, float extension) {
  std::lock_guard<std::mutex> lock(mutex_);
  parameters_.inner_arm_1 = inner_arm_1;
  parameters_.outer_arm_1 = outer_arm_1;
  parameters_.inner_arm_2 = inner_arm_2;
  parameters_.outer_arm_2 = outer_arm_2;
  parameters_.extension = std::fabs(extension);
}

void ArmGeometry::Calibrate(const Vector3& measured, const Vector3& target) {
  std::lock_guard<std::mutex> lock(mutex_);
  parameters_.offsets[0] = (measured[0] - target[0]) * kPi / 180.0f;
  parameters_.offsets[1] = -((measured[1] - target[1]) * kPi) / 180.0f;
  parameters_.offsets[2] = -((measured[2] - target[2]) * kPi) / 180.0f;
}

Vector3 ArmGeometry::Offsets() const { return Snapshot().offsets; }

ArmGeometry::Parameters ArmGeometry::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return parameters_;
}

Vector3 ArmGeometry::ForwardKinematics(const Vector3& angles) const {
  const Parameters p = Snapshot();
  const float theta0 = DegreesToRadians(angles[0] + 90.0f) - p.offsets[0];
  const float theta1 = DegreesToRadians(-angles[1] - 180.0f) - p.offsets[1];
  const float theta2 = DegreesToRadians(-angles[2] - 180.0f) - p.offsets[2];

  // The two elbows of the planar linkage, both proximal joints at the origin.
  const float inner_x = p.inner_arm_1 * Cos(theta1), inner_y = p.inner_arm_1 * Sin(theta1);
  const float outer_x = p.outer_arm_1 * Cos(theta2), outer_y = p.outer_arm_1 * Sin(theta2);
  const float dx = inner_x - outer_x, dy = inner_y - outer_y;
  const float r = std::sqrt(dx * dx + dy * dy);

  // Direction of the inner distal link: from the inner elbow towards the outer one,
  // turned clockwise by the angle at which the two distal links meet.
  float psi = theta1;
  if (!(r < kCoincidentElbows)) {
    const float l3 = p.inner_arm_2, l4 = p.outer_arm_2;
    const float beta = Acos((r * r + l3 * l3 - l4 * l4) / (2 * r * l3));
    psi = Atan2(dy, dx) + kPi - beta;
  }
  const float x = inner_x + p.inner_arm_2 * Cos(psi);
  const float y = inner_y + p.inner_arm_2 * Sin(psi);

  // Turn about the base axis, then into the device frame.
  const float w = p.extension + kToolOffset;
  const float p0 = w * Cos(theta0) + y * Sin(theta0);
  const float p1 = w * Sin(theta0) - y * Cos(theta0);
  const float p2 = x + kBaseHeight;
  return Rotate(kBaseRotation, {-p2, p1, p0});
}

}  // namespace Tavix::HardwareAPI
