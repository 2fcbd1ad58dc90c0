#include "ResultWriter.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace Tavix::Bench {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File OpenFile(const std::string& path, const char* mode) {
  File file(std::fopen(path.c_str(), mode));
  if (!file) throw std::runtime_error("cannot write " + path);
  return file;
}

}  // namespace

void ResultWriter::Record(const std::string& name, const Figures& figures) const {
  const File file = OpenFile(directory_ + "/results.jsonl", "a");
  std::fprintf(file.get(), "{\"case\": \"%s\"", name.c_str());
  for (const auto& [figure, value] : figures) std::fprintf(file.get(), ", \"%s\": %.9g", figure.c_str(), value);
  std::fprintf(file.get(), "}\n");
  std::printf("  %s\n", name.c_str());
  std::fflush(stdout);
}

void ResultWriter::RecordRun(const std::string& name, const Run& run, Figures extra) const {
  Figures figures{{"exchanges", static_cast<double>(run.latencies_us.size())},
                  {"wall_s", run.wall_seconds},
                  {"cpu_s", run.cpu_seconds},
                  {"allocations", static_cast<double>(run.allocations)}};
  figures.insert(figures.end(), extra.begin(), extra.end());
  Record(name, figures);
  const File samples = OpenFile(directory_ + "/" + name + ".samples", "w");
  for (const double latency : run.latencies_us) std::fprintf(samples.get(), "%.3f\n", latency);
}

void ResultWriter::RecordRuns(const std::vector<Case>& cases, const std::vector<Run>& runs) const {
  for (std::size_t i = 0; i < cases.size() && i < runs.size(); ++i) RecordRun(cases[i].name, runs[i]);
}

}  // namespace Tavix::Bench
