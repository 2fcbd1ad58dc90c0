#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace Tavix::Testing {

/// A device directory of a test's own, standing in for /dev; removed afterwards.
class DeviceDirectory {
 public:
  DeviceDirectory() {
    char pattern[] = "/tmp/tavix-devices-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~DeviceDirectory() { std::filesystem::remove_all(path_); }

  DeviceDirectory(const DeviceDirectory&) = delete;
  DeviceDirectory& operator=(const DeviceDirectory&) = delete;

  const std::string& Path() const { return path_; }
  /// The path of entry `name`, whether it exists or not.
  std::string Entry(const std::string& name) const { return path_ + "/" + name; }
  /// Makes entry `name` a symbolic link to `target`.
  void Link(const std::string& name, const std::string& target) const {
    std::filesystem::create_symlink(target, Entry(name));
  }
  /// Makes entry `name` a directory.
  void Directory(const std::string& name) const { std::filesystem::create_directory(Entry(name)); }

 private:
  std::string path_;
};

}  // namespace Tavix::Testing
