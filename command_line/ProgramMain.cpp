#include "ProgramMain.h"

#include <cstdio>

#include "Tavix/HardwareAPI/Version.h"

namespace Tavix::CommandLine {

int ReportBadArguments(const char* program, const char* message, const std::string& after) {
  std::fprintf(stderr, "%s: %s\n%s", program, message, after.c_str());
  return kExitBadArguments;
}

int ShowText(const char* text) {
  std::fputs(text, stdout);
  return kExitSuccess;
}

int ShowVersion(const char* program) {
  std::printf("%s %s\n", program, HardwareAPI::GetLibraryVersion());
  return kExitSuccess;
}

int ReportFailure(const char* program, const std::exception& error) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", program, error.what());
  return kExitFailure;
}

}  // namespace Tavix::CommandLine
