#pragma once

namespace Tavix::CommandLine {

/// A private base for a class whose objects stand for something that exists once (a
/// muted stream, a pseudo-terminal, a played device): they can be neither copied nor
/// moved, so that exactly one of them undoes what it set up.
class NonCopyable {
 public:
  NonCopyable(const NonCopyable&) = delete;
  NonCopyable& operator=(const NonCopyable&) = delete;

 protected:
  NonCopyable() = default;
  ~NonCopyable() = default;
};

}  // namespace Tavix::CommandLine
