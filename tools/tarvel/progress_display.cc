#include "progress_display.h"

#include <algorithm>
#include <cstdio>

#include "system.h"
#include "terminal_text.h"

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

std::string FormatPart(long long done, long long total) {
  std::string part = FormatBytes(done);
  std::string whole = FormatBytes(total);
  size_t unit = part.rfind(' ');
  if (unit != std::string::npos && whole.size() > unit &&
      part.substr(unit) == whole.substr(whole.rfind(' '))) {
    part.erase(unit);
  }
  return part + " of " + whole;
}

TerminalProgress::TerminalProgress(std::string label, std::chrono::milliseconds showAfter)
    : label_(Shown(label)), showAfter_(showAfter), terminal_(StandardErrorIsTerminal()) {}

TerminalProgress::~TerminalProgress() {
  End(done_ >= total_ ? TransferEnd::Complete : TransferEnd::Short);
}

void TerminalProgress::Update(long long done, long long total) {
  Clock::time_point now = Clock::now();
  // A new transfer began before the last one's end was told: the samples are
  // all there is to judge that one by.
  if (active_ && (total != total_ || done < done_)) {
    End(done_ >= total_ ? TransferEnd::Complete : TransferEnd::Short);
  }
  // The clock starts with the first byte: the protocol's pauses before it
  // would make every transfer, even of a few bytes, look long.
  if (!active_ && done == 0) return;
  if (!active_) {
    active_ = true;
    shown_ = false;
    started_ = now;
    quartersPrinted_ = 0;
    lastMoved_ = now;
  }
  if (done != done_) lastMoved_ = now;
  done_ = done;
  total_ = total;
  if (!shown_ && now - started_ < showAfter_) return;
  shown_ = true;
  if (terminal_) {
    if (now - drawn_ >= kRedrawEvery) Draw();
  } else {
    PrintPlainQuarter();
  }
}

void TerminalProgress::End(TransferEnd how) {
  if (!active_) return;
  active_ = false;
  // A transfer over before anyone could read its progress needs no summary,
  // unless it stopped short: that is news however quick.
  if (!shown_ && how == TransferEnd::Complete) return;
  PrintSummary(how);
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

void TerminalProgress::PrintSummary(TransferEnd how) {
  const bool complete = how == TransferEnd::Complete;
  if (complete) done_ = total_;
  // A transfer that broke off is timed to its last byte, not to the moment
  // its end became known (a receiver waits out a quiet line first).
  Clock::time_point end = complete ? Clock::now() : lastMoved_;
  double seconds = std::chrono::duration<double>(end - started_).count();
  std::string rate = seconds > 0 ? FormatBytes(static_cast<long long>(done_ / seconds)) : "-";
  std::string amount = complete ? FormatBytes(done_) : FormatPart(done_, total_);
  std::string line = label_ + ": " + amount + " in " + Format("%.1f %s", seconds, "s") + " (" +
                     rate + "/s)" + (complete ? "" : ", stopped short");
  std::fprintf(stderr, terminal_ && shown_ ? "\r%s\x1b[K\n" : "%s\n", line.c_str());
  std::fflush(stderr);
}

void TerminalProgress::Draw() {
  drawn_ = Clock::now();
  std::string amounts = FormatBytes(done_) + " / " + FormatBytes(total_);
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
