#pragma once

#include <string>
#include <utility>
#include <vector>

#include "Measurement.h"

namespace Tavix::Bench {

/// Named figures of one benchmark case, in the order they are written.
using Figures = std::vector<std::pair<std::string, double>>;

/// Writes results where bench/report.py reads them: one JSON object a line, appended
/// to <directory>/results.jsonl, and the latencies of each run, in microseconds one a
/// line, to <directory>/<case>.samples. Also prints each case's name as it is written.
class ResultWriter {
 public:
  explicit ResultWriter(std::string directory) : directory_(std::move(directory)) {}

  /// Appends {"case": name, "<figure>": value, ...}. Throws std::runtime_error if the
  /// file cannot be written.
  void Record(const std::string& name, const Figures& figures) const;

  /// Records a run: its exchange count, wall and CPU seconds and allocations, then
  /// `extra`; writes its latencies to <name>.samples.
  void RecordRun(const std::string& name, const Run& run, Figures extra = {}) const;

  /// Records the runs of cases measured side by side, each under its case's name.
  void RecordRuns(const std::vector<Case>& cases, const std::vector<Run>& runs) const;

 private:
  std::string directory_;
};

}  // namespace Tavix::Bench
