#include "simulated_platform.h"

#include <sstream>

namespace korvane::testing {

using namespace std::chrono;

SimulatedPlatform::SimulatedPlatform() { SetLocalTime(2024, 3, 2, 9, 5, 3); }

void SimulatedPlatform::SetLocalTime(int year, int month, int day, int hour, int minute, int second) {
  const sys_days date = year_month_day{std::chrono::year{year}, std::chrono::month{unsigned(month)},
                                       std::chrono::day{unsigned(day)}};
  wallClock_ = date + hours{hour} + minutes{minute} + seconds{second};
}

void SimulatedPlatform::WaitUntil(std::int64_t untilNs, EventSource& events) {
  ++waits_;
  const std::int64_t untilMs = untilNs / 1'000'000;
  for (;;) {
    events.DeliverPendingEvents();
    if (monotonicMs_ >= untilMs) {
      monotonicMs_ += overrunMs_;  // a late wake-up: what comes meanwhile waits for the next pump
      wallClock_ += std::chrono::milliseconds{overrunMs_};
      return;
    }
    const std::optional<std::int64_t> due = nextDue_ ? nextDue_() : std::nullopt;
    const bool wakeEarly = due && *due > monotonicMs_ && *due < untilMs;
    const std::int64_t step = (wakeEarly ? *due : untilMs) - monotonicMs_;
    monotonicMs_ += step;
    sleptMs_ += step;
    wallClock_ += std::chrono::milliseconds{step};
    if (wakeEarly) ++earlyWakes_;
    if (onSleep_) onSleep_(monotonicMs_);
  }
}

LocalDateTime SimulatedPlatform::LocalNow() {
  const sys_days date = floor<days>(wallClock_);
  const year_month_day ymd{date};
  const hh_mm_ss<std::chrono::milliseconds> time{wallClock_ - date};
  return {int(ymd.year()),           int(unsigned(ymd.month())),  int(unsigned(ymd.day())),
          int(time.hours().count()), int(time.minutes().count()), int(time.seconds().count())};
}

std::string SimulatedPlatform::PathBesideExecutable(const std::string& fileName) {
  return "/opt/korvane/" + fileName;
}

TraceFileOpening SimulatedPlatform::OpenTraceFile(const std::string& path) {
  openTrace_.reset();
  if (const auto other = nonRegular_.find(path); other != nonRegular_.end()) {
    return {TraceFileState::NotRegular, other->second};
  }
  const auto file = files_.find(path);
  if (file == files_.end()) return {TraceFileState::Missing, ""};
  if (readOnly_.count(path)) return {TraceFileState::NotWritable, "Permission denied"};
  openTrace_ = file->second;
  return {TraceFileState::Open, ""};
}

bool SimulatedPlatform::AppendToTraceFile(std::string_view text) {
  if (!openTrace_ || appendsFail_) return false;
  openTrace_->append(text);
  return true;
}

std::string SimulatedPlatform::FileText(const std::string& path) const {
  const auto found = files_.find(path);
  return found == files_.end() ? std::string{} : *found->second;
}

std::vector<std::string> SimulatedPlatform::Problems() const {
  std::vector<std::string> problems;
  std::size_t start = 0;
  for (std::size_t end; (end = standardError_.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = standardError_.substr(start, end - start);
    if (line.rfind("korvane: ", 0) == 0) problems.push_back(line.substr(9));
  }
  return problems;
}

std::vector<std::string> SimulatedPlatform::TraceLines() const {
  std::vector<std::string> lines;
  const std::string text = FileText(TracePath());
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start != text.size()) lines.push_back(text.substr(start) + "<no CR LF>");
  return lines;
}

std::vector<std::string> SimulatedPlatform::TraceMessages() const {
  std::vector<std::string> messages;
  for (const std::string& line : TraceLines()) {
    messages.push_back(line.size() >= 19 ? line.substr(19) : line);
  }
  return messages;
}

}  // namespace korvane::testing
