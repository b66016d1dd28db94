#include "dense/printers.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <limits>
#include <sstream>
#include <string>

#include "dense/any_to_string.h"
#include "dense/source_prefix.h"
#include "support/fp_traps.h"

namespace {

template <class T>
std::string show(const T& x) {
  std::ostringstream os;
  os << x;
  return os.str();
}

std::valarray<double> iota(std::size_t n) {
  std::valarray<double> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<double>(i + 1);
  return v;
}

}  // namespace

TEST(VectorPrinters, SummaryAndShortForm) {
  const std::valarray<double> v = {1, 2, 3};
  EXPECT_EQ(show(ShowVector(v)), "Vector(3), norm 3.74166 min 1 max 3 sum 6 mean 2 std 0.816497");
  const std::valarray<double> empty;
  EXPECT_EQ(show(ShowVector(empty)), "Vector(0)");
  const std::valarray<double> lateNan = {2, std::nan(""), 1};
  EXPECT_EQ(show(ShowVector(lateNan)), "Vector(3), norm nan min 1 max 2 sum nan mean nan std nan");

  EXPECT_EQ(show(std::valarray<double>{1, 2}), "(2){          1           2 }");
  EXPECT_EQ(show(empty), "(0){}");
  const std::string thirteen = show(iota(13));
  EXPECT_EQ(thirteen.substr(0, 5), "(13){");
  EXPECT_EQ(thirteen.size(), 5 + 10 * 12 + 1u);  // ten fields of 11 plus a blank, then "}"
  EXPECT_EQ(show(iota(14)).substr(0, 12), "Vector(14), ");

  // Traces print whatever a solver met; under traps too.
  const FpTrapGuard traps;
  const double inf = std::numeric_limits<double>::infinity();
  const std::valarray<double> wild = {std::nan(""), inf, -inf};
  EXPECT_EQ(show(ShowVector(wild)), "Vector(3), norm nan min nan max nan sum nan mean nan std nan");
  MatrixTemplate<double> m(1, 3, {1e308, std::nan(""), -1e308});
  std::ostringstream header;
  printMatrixHeader(header, m);
  EXPECT_EQ(header.str(), "MatrixTemplate<T>(1, 3, min -1e+308, max 1e+308)");

  std::ostringstream narrow;
  narrow << std::setprecision(3) << std::valarray<double>{0.5};
  EXPECT_EQ(narrow.str(), "(1){     0.5 }");
}

TEST(MatrixPrinter, HeaderAndLeadingBlock) {
  MatrixTemplate<double> m(2, 2, {1, -2, 3.5, 4});
  EXPECT_EQ(show(ShowMatrixTemplate(m)),
            "MatrixTemplate<T>(2, 2, min -2, max 4)\n"
            "           1           -2 \n"
            "         3.5            4 \n");
  EXPECT_EQ(show(ShowMatrixTemplate(MatrixTemplate<double>())),
            "MatrixTemplate<T>(0, 0, min inf, max inf)\n");
  std::ostringstream header;
  printMatrixHeader(header, m);
  EXPECT_EQ(header.str(), "MatrixTemplate<T>(2, 2, min -2, max 4)");

  MatrixTemplate<double> big(40, 40);
  big(39, 39) = 7;
  const std::string text = show(ShowMatrixTemplate(big));
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "MatrixTemplate<T>(40, 40, min 0, max 7)");
  int rows = 0;
  while (std::getline(lines, line)) {
    ++rows;
    EXPECT_EQ(line.size(), 30 * 13u);
  }
  EXPECT_EQ(rows, 30);
}

TEST(TextHelpers, AnyToStringAndSourcePrefix) {
  EXPECT_EQ(anyToString("Jac", std::setw(4), std::setfill('0'), 7u), "Jac0007");
  EXPECT_EQ(anyToString(1.5, ' ', std::string("x")), "1.5 x");
  const char* none = nullptr;
  EXPECT_EQ(anyToString(none, std::setw(4), 7u), "");

  const int line = __LINE__ + 1;
  const std::string here = ZELK_SRCPOS;
  EXPECT_EQ(here, "printers_test:" + std::to_string(line) + ": ");
}
