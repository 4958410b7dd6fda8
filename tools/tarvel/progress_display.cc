#include "progress_display.h"

#include <algorithm>
#include <cstdio>

#include "system.h"

namespace tarvel_cli {
namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
constexpr int kBarWidth = 24;

std::string Format(const char* format, double value, const char* unit) {
  char text[48];
  std::snprintf(text, sizeof text, format, value, unit);
  return text;
}

std::string FormatDuration(double seconds) {
  auto whole = static_cast<long long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  return text;
}

}  // namespace

std::string FormatBytes(long long bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  if (bytes < 1024 * 1024) return Format("%.1f %s", bytes / 1024.0, "KiB");
  if (bytes < 1024LL * 1024 * 1024) return Format("%.1f %s", bytes / (1024.0 * 1024), "MiB");
  return Format("%.2f %s", bytes / (1024.0 * 1024 * 1024), "GiB");
}

TerminalProgress::TerminalProgress(std::string label, std::chrono::milliseconds showAfter)
    : label_(std::move(label)), showAfter_(showAfter), terminal_(StandardErrorIsTerminal()) {}

TerminalProgress::~TerminalProgress() {
  End();
}

void TerminalProgress::Update(long long done, long long total) {
  Clock::time_point now = Clock::now();
  if (active_ && (total != total_ || done < done_)) End();  // a new transfer began
  // The clock starts with the first byte: the protocol's pauses before it
  // would make every transfer, even of a few bytes, look long.
  if (!active_ && done == 0) return;
  if (!active_) {
    active_ = true;
    shown_ = false;
    started_ = now;
    quartersPrinted_ = 0;
  }
  done_ = done;
  total_ = total;
  if (!shown_ && now - started_ < showAfter_) return;
  shown_ = true;
  if (terminal_) {
    if (now - drawn_ >= kRedrawEvery) Draw(false);
  } else {
    PrintPlainQuarter();
  }
}

void TerminalProgress::End() {
  if (!active_) return;
  active_ = false;
  if (!shown_) return;
  done_ = std::max(done_, total_);
  Draw(true);
}

std::string TerminalProgress::RateAndTimeLeft() const {
  double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
  // Too early, the rate says more about when the first tick fell than about the line.
  if (seconds < 0.25 || done_ <= 0) return "";
  double rate = done_ / seconds;
  std::string text = FormatBytes(static_cast<long long>(rate)) + "/s";
  if (total_ > done_) text += "  " + FormatDuration((total_ - done_) / rate) + " left";
  return text;
}

void TerminalProgress::Draw(bool final) {
  drawn_ = Clock::now();
  double seconds = std::chrono::duration<double>(drawn_ - started_).count();
  std::string amounts = FormatBytes(done_) + " / " + FormatBytes(total_);
  if (final) {
    std::string rate = seconds > 0 ? FormatBytes(static_cast<long long>(done_ / seconds)) : "-";
    std::string line = label_ + ": " + FormatBytes(done_) + " in " +
                       Format("%.1f %s", seconds, "s") + " (" + rate + "/s)";
    std::fprintf(stderr, terminal_ ? "\r%s\x1b[K\n" : "%s\n", line.c_str());
    return;
  }
  int filled = total_ > 0 ? static_cast<int>(kBarWidth * std::min(1.0, 1.0 * done_ / total_)) : 0;
  std::string bar = std::string(filled, '#') + std::string(kBarWidth - filled, '-');
  std::fprintf(stderr, "\r%s [%s] %s  %s\x1b[K", label_.c_str(), bar.c_str(), amounts.c_str(),
               RateAndTimeLeft().c_str());
  std::fflush(stderr);
}

// Without a terminal a redrawn bar would be noise: one line per quarter done.
void TerminalProgress::PrintPlainQuarter() {
  int quarters = total_ > 0 ? static_cast<int>(4 * done_ / total_) : 0;
  if (quarters <= quartersPrinted_ || quarters >= 4) return;
  quartersPrinted_ = quarters;
  std::string rate = RateAndTimeLeft();
  std::fprintf(stderr, "%s: %d%% (%s of %s%s%s)\n", label_.c_str(),
               static_cast<int>(100 * done_ / total_), FormatBytes(done_).c_str(),
               FormatBytes(total_).c_str(), rate.empty() ? "" : ", ", rate.c_str());
}

}  // namespace tarvel_cli
