#pragma once

#include <stdexcept>

namespace Tavix::Cli {

/// A command could not do its work: a port could not be opened, a device did not answer
/// or the connection was lost. `main` prints the message and exits with status 1.
class CommandFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace Tavix::Cli
