#include "StatusLine.h"

#include <cstdio>
#include <unistd.h>

namespace Tavix::Cli {
namespace {

// Carriage return, then erase to the end of the line.
constexpr const char* kRewind = "\r\033[K";

}  // namespace

StatusLine::StatusLine() : in_place_(isatty(STDOUT_FILENO) == 1) {}

void StatusLine::Show(const std::string& text) {
  if (in_place_) {
    std::printf("%s%s", kRewind, text.c_str());
    showing_ = true;
  } else {
    std::printf("%s\n", text.c_str());
  }
  std::fflush(stdout);
}

void StatusLine::Clear() {
  if (!showing_) return;
  std::fputs(kRewind, stdout);
  std::fflush(stdout);
  showing_ = false;
}

void StatusLine::Keep() {
  if (!showing_) return;
  std::fputs("\n", stdout);
  std::fflush(stdout);
  showing_ = false;
}

}  // namespace Tavix::Cli
