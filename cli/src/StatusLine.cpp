#include "StatusLine.h"

#include <unistd.h>

namespace Tavix::Cli {
namespace {

// Carriage return, then erase to the end of the line.
constexpr const char* kRewind = "\r\033[K";

}  // namespace

StatusLine::StatusLine(std::FILE* stream) : stream_(stream), in_place_(isatty(fileno(stream)) == 1) {}

void StatusLine::Show(const std::string& text) {
  if (in_place_) {
    std::fprintf(stream_, "%s%s", kRewind, text.c_str());
    showing_ = true;
  } else {
    std::fprintf(stream_, "%s\n", text.c_str());
  }
  std::fflush(stream_);
}

void StatusLine::Clear() {
  if (!showing_) return;
  std::fputs(kRewind, stream_);
  std::fflush(stream_);
  showing_ = false;
}

void StatusLine::Keep() {
  if (!showing_) return;
  std::fputs("\n", stream_);
  std::fflush(stream_);
  showing_ = false;
}

}  // namespace Tavix::Cli
