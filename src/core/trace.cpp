#include "core/trace.h"

#include <cstdio>

namespace korvane {
namespace {

void AppendToTrace(modKorvane& run, const std::string& text) {
  if (run.platform.AppendText(run.TraceFilePath, text) || run.TraceLossReported) return;
  run.TraceLossReported = true;
  run.platform.ReportProblem("the trace file " + run.TraceFilePath +
                             " cannot be written: its lines are lost");
}

}  // namespace

std::string FormatTimeStamp(const LocalDateTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year % 10000, t.month % 100,
                t.day % 100, t.hour % 100, t.minute % 100, t.second % 100);
  return text;
}

void TraceLine(modKorvane& run, std::initializer_list<TracePiece> pieces) {
  std::string line = FormatTimeStamp(run.platform.LocalNow());
  for (const TracePiece& piece : pieces)
    line += piece.value;
  line += kLineEnd;
  AppendToTrace(run, line);
}

void TraceStartLines(modKorvane& run) {
  const std::string text =
      std::string(kLineEnd) + FormatTimeStamp(run.platform.LocalNow()) + " Start" + kLineEnd;
  AppendToTrace(run, text);
}

}  // namespace korvane
