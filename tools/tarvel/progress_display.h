// Showing a transfer to a person: a bar with bytes, rate and time left when
// standard error is a terminal, a few plain lines otherwise.
#pragma once

#include <chrono>
#include <string>

namespace tarvel_cli {

// Where the progress of one transfer at a time goes.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // A transfer is in progress: `done` of `total` bytes.
  virtual void Update(long long done, long long total) = 0;
  // The transfer in progress has ended.
  virtual void End() = 0;
  // Whether it shows anything: a wait need not wake for a sink that does not.
  virtual bool Shows() const { return true; }
};

class NullProgress : public ProgressSink {
 public:
  void Update(long long, long long) override {}
  void End() override {}
  bool Shows() const override { return false; }
};

class TerminalProgress : public ProgressSink {
 public:
  // A transfer shows once it has lasted `showAfter`: a shorter one is over
  // before anyone could read it.
  explicit TerminalProgress(std::string label,
                            std::chrono::milliseconds showAfter = std::chrono::milliseconds(300));
  ~TerminalProgress() override;
  void SetLabel(std::string label) { label_ = std::move(label); }
  void Update(long long done, long long total) override;
  void End() override;

 private:
  using Clock = std::chrono::steady_clock;
  void Draw(bool final);
  void PrintPlainQuarter();
  std::string RateAndTimeLeft() const;

  std::string label_;
  std::chrono::milliseconds showAfter_;
  bool terminal_;
  bool active_ = false;
  bool shown_ = false;
  Clock::time_point started_;
  Clock::time_point drawn_;
  long long done_ = 0;
  long long total_ = 0;
  int quartersPrinted_ = 0;
};

// "512 B", "12.3 KiB", "4.0 MiB".
std::string FormatBytes(long long bytes);

}  // namespace tarvel_cli
