#include "table.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace orv_bench {
namespace {

std::vector<Figure>& Figures() {
  static std::vector<Figure> figures;
  return figures;
}

std::string Show(double value, const std::string& unit) {
  const char* suffix = unit.c_str();
  if (unit == "ns") {
    static const char* const kScales[] = {"ns", "us", "ms", "s"};
    int scale = 0;
    while (scale < 3 && value >= 1000) {
      value /= 1000;
      ++scale;
    }
    suffix = kScales[scale];
  } else if (unit == "B") {
    static const char* const kScales[] = {"B", "KiB", "MiB", "GiB"};
    int scale = 0;
    while (scale < 3 && value >= 10240) {
      value /= 1024;
      ++scale;
    }
    suffix = kScales[scale];
  }
  char text[64];
  std::snprintf(text, sizeof text,
                value < 10    ? "%.2f %s"
                : value < 100 ? "%.1f %s"
                              : "%.0f %s",
                value, suffix);
  return text;
}

std::string Target(const Figure& figure) {
  char text[32];
  switch (figure.goal) {
    case Goal::kAtMost:
      std::snprintf(text, sizeof text, "<= %.3g", figure.target);
      return text;
    case Goal::kAtLeast:
      std::snprintf(text, sizeof text, ">= %.3g", figure.target);
      return text;
    case Goal::kReport:
      break;
  }
  return "report";
}

}  // namespace

bool RegisterFigure(const Figure& figure) {
  Figures().push_back(figure);
  return true;
}

// The per-run lines go to stderr: stdout is for the table.
TableReporter::TableReporter() : benchmark::ConsoleReporter(OO_Tabular) {
  SetOutputStream(&std::cerr);
  SetErrorStream(&std::cerr);
}

void TableReporter::ReportRuns(const std::vector<Run>& runs) {
  benchmark::ConsoleReporter::ReportRuns(runs);
  for (const Run& run : runs) {
    const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
    if (run.run_type == Run::RT_Aggregate && !median) continue;
    // By the name given at registration, without "/iterations:1" and such.
    Result& result = results_[run.run_name.function_name];
    if (result.median && !median) continue;  // a median already stands
    if (run.error_occurred) {
      result.error = run.error_message;
      continue;
    }
    result.median = median;
    for (const auto& counter : run.counters) result.counters[counter.first] = counter.second.value;
  }
}

bool TableReporter::Counter(const std::string& bench, const std::string& name, double& value,
                            std::string& why) const {
  const auto found = results_.find(bench);
  if (found == results_.end()) {
    why = "not run";
    return false;
  }
  if (!found->second.error.empty()) {
    why = "error: " + found->second.error;
    return false;
  }
  const auto counter = found->second.counters.find(name);
  if (counter == found->second.counters.end()) {
    why = "no " + name;
    return false;
  }
  value = counter->second;
  return true;
}

int TableReporter::PrintTable(std::ostream& out) const {
  std::vector<Figure> figures = Figures();
  std::stable_sort(figures.begin(), figures.end(),
                   [](const Figure& a, const Figure& b) { return a.label < b.label; });
  std::vector<std::vector<std::string>> rows = {
      {"figure", "measured", "baseline", "ratio", "target", "verdict"}};
  int missed = 0;
  for (const Figure& figure : figures) {
    double measured = 0, baseline = 0, ratio = 0;
    std::string why;
    if (!Counter(figure.bench, figure.measured, measured, why) ||
        !Counter(figure.bench, figure.baseline, baseline, why) ||
        (!figure.ratio.empty() && !Counter(figure.bench, figure.ratio, ratio, why))) {
      rows.push_back({figure.label, "-", "-", "-", Target(figure), why});
      // A figure that failed (an empty cache, a change not seen) is not met.
      if (figure.goal != Goal::kReport && why.rfind("error", 0) == 0) ++missed;
      continue;
    }
    if (figure.ratio.empty()) ratio = baseline > 0 ? measured / baseline : 0;
    char ratio_text[32];
    std::snprintf(ratio_text, sizeof ratio_text, "%.2f", ratio);
    std::string verdict = "-";
    if (figure.goal != Goal::kReport) {
      const bool met =
          figure.goal == Goal::kAtMost ? ratio <= figure.target : ratio >= figure.target;
      verdict = met ? "ok" : "MISSED";
      if (!met) ++missed;
    }
    rows.push_back({figure.label, Show(measured, figure.unit), Show(baseline, figure.unit),
                    ratio_text, Target(figure), verdict});
  }
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    std::string line = "|";
    for (std::size_t i = 0; i < rows[r].size(); ++i) {
      const std::string& cell = rows[r][i];
      const std::string pad(widths[i] - cell.size(), ' ');
      // Names left, numbers right.
      line += " " + (i == 0 || i == 5 ? cell + pad : pad + cell) + " |";
    }
    out << line << "\n";
    if (r == 0) {
      std::string rule = "|";
      for (std::size_t width : widths) rule += std::string(width + 2, '-') + "|";
      out << rule << "\n";
    }
  }
  return missed;
}

}  // namespace orv_bench
