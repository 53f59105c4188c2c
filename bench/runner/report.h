// The goal table: one row per figure, printed and written as Markdown.
#pragma once

#include <string>
#include <vector>

namespace bench {

enum class Verdict { met, missed, context, notMeasured };

struct Row {
  std::string figure;
  std::string goal;      // empty for peers
  std::string measured;  // the figure, a ratio or an absolute value
  std::string detail;    // what it was measured against, medians, ranges
  Verdict verdict = Verdict::notMeasured;
};

struct Report {
  std::vector<Row> goals;
  std::vector<Row> peers;
  std::vector<std::string> notes;
};

std::string verdictText(Verdict verdict);
// Plain text for the terminal.
std::string tableText(const Report& report);
// The committed results page.
std::string markdown(const Report& report, const std::string& machine);

// Numbers as the table shows them.
std::string ratioText(double ratio);
std::string millisText(double micros);
std::string rangeText(double low, double high, bool ratio);

}  // namespace bench
