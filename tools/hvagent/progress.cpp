#include "progress.h"

#include <unistd.h>

#include <algorithm>

namespace Hvagent {

namespace {

constexpr auto kMinInterval = std::chrono::milliseconds(100);

double Seconds(Progress::Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

std::string FormatBytes(uint64_t bytes) {
  static const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
  return text;
}

Progress::Progress(std::string verb, uint64_t total, std::FILE* out, bool live)
    : verb_(std::move(verb)), total_(total), out_(out), live_(live), start_(Clock::now()), lastDraw_(start_) {}

Progress::~Progress() { Finish(); }

bool Progress::IsTerminal(std::FILE* out) { return ::isatty(::fileno(out)) == 1; }

void Progress::Advance(uint64_t bytes, Clock::time_point now) {
  done_ += bytes;
  if (!live_ || now - lastDraw_ < kMinInterval) return;
  lastDraw_ = now;
  ++draws_;
  drawn_ = true;
  std::fprintf(out_, "\r%s\033[K", Line(now).c_str());
  std::fflush(out_);
}

std::string Progress::Line(Clock::time_point now) const {
  const double elapsed = Seconds(now - start_);
  const double rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0;
  std::string line = verb_ + ": " + FormatBytes(done_) + " of " + FormatBytes(total_);
  char tail[96];
  const double percent =
      total_ ? 100.0 * static_cast<double>(std::min(done_, total_)) / static_cast<double>(total_) : 100;
  if (rate > 0) {
    const double left = static_cast<double>(total_ > done_ ? total_ - done_ : 0) / rate;
    std::snprintf(tail, sizeof tail, " (%.0f%%), %s/s, %.0f s left", percent,
                  FormatBytes(static_cast<uint64_t>(rate)).c_str(), left);
  } else {
    std::snprintf(tail, sizeof tail, " (%.0f%%)", percent);
  }
  return line + tail;
}

std::string Progress::Summary(const Totals& totals, Clock::time_point now) const {
  const double elapsed = Seconds(now - start_);
  const double rate = elapsed > 0 ? static_cast<double>(totals.read) / elapsed / 1e6 : 0;
  char text[256];
  std::snprintf(text, sizeof text, "%s: read %s, stored %s, %llu zero runs skipped (%s), %.2f s, %.1f MB/s",
                verb_.c_str(), FormatBytes(totals.read).c_str(), FormatBytes(totals.stored).c_str(),
                static_cast<unsigned long long>(totals.zeroRuns), FormatBytes(totals.zeroBytes).c_str(), elapsed, rate);
  return text;
}

void Progress::Finish() {
  if (drawn_) {
    std::fprintf(out_, "\r\033[K");
    std::fflush(out_);
    drawn_ = false;
  }
}

}  // namespace Hvagent
