// Progress of a long operation: one line on the terminal redrawn at most ten
// times a second (nothing when standard error is not a terminal), and a
// one-line summary at the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace Hvagent {

struct Totals {
  uint64_t read = 0;       // bytes read from disks or data files
  uint64_t stored = 0;     // bytes written to the repository or to disks
  uint64_t zeroRuns = 0;   // runs of zero sectors not stored
  uint64_t zeroBytes = 0;  // bytes in those runs
};

class Progress {
 public:
  using Clock = std::chrono::steady_clock;
  // out is where the line is drawn; it is drawn only when live.
  Progress(std::string verb, uint64_t total, std::FILE* out, bool live);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Advance(uint64_t bytes, Clock::time_point now = Clock::now());
  // The line now, whatever the time since the last one.
  std::string Line(Clock::time_point now) const;
  // "VERB: read ..., stored ..., N zero runs skipped (...), T s, R MB/s"
  std::string Summary(const Totals& totals, Clock::time_point now = Clock::now()) const;
  // Clears the live line.
  void Finish();
  int Draws() const { return draws_; }

  static bool IsTerminal(std::FILE* out);

 private:
  std::string verb_;
  uint64_t total_, done_ = 0;
  std::FILE* out_;
  bool live_;
  Clock::time_point start_, lastDraw_;
  int draws_ = 0;
  bool drawn_ = false;
};

std::string FormatBytes(uint64_t bytes);

}  // namespace Hvagent
