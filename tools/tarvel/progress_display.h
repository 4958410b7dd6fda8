// Showing a transfer to a person: a bar with bytes, rate and time left when
// standard error is a terminal, a few plain lines otherwise.
#pragma once

#include <chrono>
#include <string>
#include <utility>

namespace tarvel_cli {

// How a transfer ended: every byte announced went (or came), or it stopped
// short after the bytes last reported.
enum class TransferEnd { Complete, Short };

// Where the progress of one transfer at a time goes.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // A transfer is in progress: `done` of `total` bytes.
  virtual void Update(long long done, long long total) = 0;
  // The transfer in progress has ended as `how`. Only the result of the call
  // or the event that ends it can tell: the samples of the progress may miss
  // its last bytes, and they stop alike whether it completed or broke off.
  virtual void End(TransferEnd how) = 0;
  // Whether it shows anything: a wait need not wake for a sink that does not.
  virtual bool Shows() const { return true; }
};

class NullProgress : public ProgressSink {
 public:
  void Update(long long, long long) override {}
  void End(TransferEnd) override {}
  bool Shows() const override { return false; }
};

class TerminalProgress : public ProgressSink {
 public:
  // A transfer shows once it has lasted `showAfter`: a shorter one is over
  // before anyone could read it.
  explicit TerminalProgress(std::string label,
                            std::chrono::milliseconds showAfter = std::chrono::milliseconds(300));
  ~TerminalProgress() override;
  void Update(long long done, long long total) override;
  // The summary line: "<label>: 300.0 MiB in 1.5 s (200.0 MiB/s)", or for a
  // transfer that stopped short "<label>: 49.5 of 300.0 MiB in 1.5 s
  // (33.0 MiB/s), stopped short", timed to its last byte. A short one is
  // summed up however briefly it ran.
  void End(TransferEnd how) override;

 private:
  using Clock = std::chrono::steady_clock;
  void Draw();
  void PrintSummary(TransferEnd how);
  void PrintPlainQuarter();
  std::string RateAndTimeLeft() const;

  std::string label_;
  std::chrono::milliseconds showAfter_;
  bool terminal_;
  bool active_ = false;
  bool shown_ = false;
  Clock::time_point started_;
  Clock::time_point drawn_;
  Clock::time_point lastMoved_;
  long long done_ = 0;
  long long total_ = 0;
  int quartersPrinted_ = 0;
};

// "512 B", "12.3 KiB", "4.0 MiB".
std::string FormatBytes(long long bytes);
// "49.5 of 300.0 MiB", or "512 B of 1.5 KiB" when the units differ.
std::string FormatPart(long long done, long long total);

}  // namespace tarvel_cli
