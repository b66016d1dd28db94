#pragma once
// The settings README.md measures for `zelk`, and the problems it measures
// them on: Wood's, Brown's badly scaled, Powell's badly scaled and
// Rosenbrock's functions from their standard starts, and a quadratic in
// ten variables with eigenvalues from 1e-3 to 1e3. Two tables: with a
// gradient only (the defaults against the line search without its sweeps
// and the Hestenes-Stiefel coefficient, each and together), and with the
// Hessian (the default pair of Newton-type directions against each alone,
// and plain Newton).
//
// bench/zelk_settings.cpp prints the tables as README.md shows them, and
// the minimisation tests check that README.md shows what the runs give.
// The runs are deterministic: the random vectors of the first iteration's
// checks do not steer them, and the BLAS library runs on one thread.

#include <cblas.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/grouped_count.h"
#include "tests/support/known_problems.h"

namespace zelk_settings {

using known_problems::Callbacks;
using known_problems::Options;
using known_problems::Problem;

template <class P>
const Problem& sumOfSquares() {
  static const Problem problem = known_problems::sumOfSquaresProblem<P>();
  return problem;
}

struct Row {
  const char* label;  // as the table's first column shows it
  const Problem* problem;
  double least;  // the problem's least value
};

inline const std::vector<Row>& rows() {
  static const std::vector<Row> all = {
      {"Wood, 4", &known_problems::wood(), 0.0},
      {"Brown badly scaled, 2", &sumOfSquares<residual_problems::BrownBadlyScaled>(), 0.0},
      {"Powell badly scaled, 2", &sumOfSquares<residual_problems::PowellBadlyScaled>(), 0.0},
      {"Rosenbrock, 2", &known_problems::rosenbrock(), 0.0},
      {"quadratic, 10", &known_problems::illConditioned(), 1.0},
  };
  return all;
}

struct Column {
  const char* header;  // the options as the table's header names them
  Options options;
};

struct Table {
  const char* corner;  // the header's first cell
  Callbacks callbacks;
  std::vector<Column> columns;
};

inline const Table& gradientTable() {
  static const Table table{"problem, n (gradient only)",
                           {true, false, false},
                           {{"defaults", {}},
                            {"\"nsweeps\" 0", {{"nsweeps", 0}}},
                            {"\"cgmode\" 3", {{"cgmode", 3}}},
                            {"\"cgmode\" 3, \"nsweeps\" 0", {{"cgmode", 3}, {"nsweeps", 0}}}}};
  return table;
}

inline const Table& hessianTable() {
  static const Table table{"problem, n (with the Hessian)",
                           {true, true, false},
                           {{"defaults (SD4 and SD3)", {}},
                            {"\"sdirs\" 16 (SD4)", {{"sdirs", 16}}},
                            {"\"sdirs\" 8 (SD3)", {{"sdirs", 8}}},
                            {"\"sdirs\" 4 (SD2)", {{"sdirs", 4}}}}};
  return table;
}

struct Measured {
  long iterations = 0, objectives = 0, gradients = 0, hessians = 0;
  double f = 0.0;
  std::string code;
};

// One run from the problem's start; the counts are those of the run's
// counters record ("cf", "cg", "cH"), which leave out the start point.
inline Measured measure(const Problem& problem, Options options, Callbacks callbacks) {
  options.push_back({"saveLast", 0});
  known_problems::Host host{&problem};
  const known_problems::Outcome out = known_problems::run(host, {}, options, callbacks);
  const known_problems::Record& counters = host.records.at(host.records.size() - 2);
  return {host.iterations(),         std::stol(counters.at("cf")), std::stol(counters.at("cg")),
          std::stol(counters.at("cH")), out.f,                       host.lastCode()};
}

// 7.87, 5.83e-4: three digits, small values with their exponent.
inline std::string shortValue(double f) {
  char text[32];
  std::snprintf(text, sizeof text, std::fabs(f) >= 0.01 ? "%.3g" : "%.2e", f);
  std::string value = text;
  if (const std::size_t zero = value.find("e-0"); zero != std::string::npos)
    value.erase(zero + 2, 1);
  return value;
}

// "iterations / objective evaluations", and where the run ended above the
// least value, what it reached and the code that ended it.
inline std::string cell(const Measured& m, double least) {
  std::string text = grouped(m.iterations);
  text += " / ";
  text += grouped(m.objectives);
  if (m.f - least > 1e-10) {
    text += ": f = ";
    text += shortValue(m.f);
    text += " (";
    text += m.code;
    text += ")";
  }
  return text;
}

// A table line of the cells given, as "| a | b |".
inline std::string tableLine(const std::vector<std::string>& cells) {
  std::string line = "|";
  for (const std::string& c : cells) {
    line += ' ';
    line += c;
    line += " |";
  }
  return line;
}

inline std::string headerLine(const Table& table) {
  std::vector<std::string> cells = {table.corner};
  for (const Column& c : table.columns) cells.push_back(c.header);
  return tableLine(cells);
}

// One BLAS thread for the scope. The eigendecomposition of the Hessian
// rounds differently with more threads, and the runs that follow it count
// differently (Wood's with the Hessian by a few evaluations): the tables
// hold for one thread on any machine.
class OneBlasThread {
 public:
  OneBlasThread() : threads_(openblas_get_num_threads()) { openblas_set_num_threads(1); }
  ~OneBlasThread() { openblas_set_num_threads(threads_); }
  OneBlasThread(const OneBlasThread&) = delete;
  OneBlasThread& operator=(const OneBlasThread&) = delete;

 private:
  int threads_;
};

// The row's runs, one per column, with one BLAS thread.
inline std::vector<Measured> measureRow(const Table& table, const Row& row) {
  OneBlasThread oneThread;
  std::vector<Measured> runs;
  for (const Column& c : table.columns)
    runs.push_back(measure(*row.problem, c.options, table.callbacks));
  return runs;
}

inline std::string rowLine(const Row& row, const std::vector<Measured>& runs) {
  std::vector<std::string> cells = {row.label};
  for (const Measured& m : runs) cells.push_back(cell(m, row.least));
  return tableLine(cells);
}

}  // namespace zelk_settings
