#include "core/trace.h"

#include <cstdio>

#include "text/text.h"

namespace korvane {
namespace {

// Writes lines that end in kLineEnd. Standard error takes them with its own
// line end ("\n", which Windows writes as CR LF): journalctl shows a line that
// ends in CR as blob data, not as text.
void AppendToTrace(modKorvane& run, const std::string& lines) {
  if (run.TraceToStandardError) {
    std::string text;
    for (std::size_t start = 0, end; (end = lines.find(kLineEnd, start)) != std::string::npos;
         start = end + 2) {
      text += lines.substr(start, end - start) + "\n";
    }
    run.platform.WriteStandardError(text);
    return;
  }
  if (run.platform.AppendToTraceFile(lines) || run.TraceLossReported) return;
  run.TraceLossReported = true;
  run.platform.ReportLostTrace("the trace file " + run.TraceFilePath +
                               " cannot be written: its lines are lost");
}

}  // namespace

bool OpenTrace(modKorvane& run) {
  const std::string chosen = run.platform.EnvironmentVariable(kTraceVariable);
  if (chosen == kTraceToStandardError) {
    run.TraceToStandardError = true;
    return true;
  }
  const bool named = !chosen.empty();
  run.TraceFilePath = named ? chosen : run.platform.PathBesideExecutable(kTraceFileName);
  const TraceFileOpening opened = run.platform.OpenTraceFile(run.TraceFilePath);
  const std::string variable = std::string(kTraceVariable) + " names " + run.TraceFilePath;
  switch (opened.state) {
    case TraceFileState::Open:
      return true;
    case TraceFileState::NotWritable:
      // The file is there, so the trace is on, but every line will be lost:
      // said once, now. Only a file the administrator named makes it a wrong set-up.
      run.TraceLossReported = true;
      if (named) {
        run.platform.ReportProblem(variable + ", which cannot be written (" + opened.detail +
                                   "): its lines are lost");
      } else {
        run.platform.ReportLostTrace("the trace file " + run.TraceFilePath + " cannot be written (" +
                                     opened.detail + "): its lines are lost");
      }
      return true;
    case TraceFileState::Missing:
      if (named && opened.detail.empty()) {
        run.platform.ReportProblem(
            variable + ", which does not exist: no trace is written (korvane never creates the file)");
      } else if (named) {
        run.platform.ReportProblem(variable + ", which cannot be looked up (" + opened.detail +
                                   "): no trace is written");
      }
      return false;
    case TraceFileState::NotRegular:
      if (named) {
        run.platform.ReportProblem(variable + ", which is " + opened.detail +
                                   ", not a regular file: no trace is written");
      }
      return false;
  }
  return false;
}

std::string FormatTimeStamp(const LocalDateTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year % 10000, t.month % 100,
                t.day % 100, t.hour % 100, t.minute % 100, t.second % 100);
  return text;
}

void TraceLine(modKorvane& run, std::initializer_list<TracePiece> pieces) {
  std::string message;
  for (const TracePiece& piece : pieces)
    message += piece.value;
  // The literals hold no control characters; host texts and the command line
  // may, and must not start a line of their own in the trace.
  AppendToTrace(run, FormatTimeStamp(run.platform.LocalNow()) + EscapeControlCharacters(message) + kLineEnd);
}

void TraceStartLines(modKorvane& run) {
  const std::string text =
      std::string(kLineEnd) + FormatTimeStamp(run.platform.LocalNow()) + " Start" + kLineEnd;
  AppendToTrace(run, text);
}

}  // namespace korvane
