// The linear-solve demo program, run as a separate process with its two
// output streams captured apart: its one result line, and that line as the
// library answers for the demo's system.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cblas.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zelk/zelkcomp.h"

extern char** environ;

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs program with standard output and standard error redirected to two
// temporary files; returns the exit status.
int runCaptured(const std::string& program, std::string& out, std::string& err) {
  char outPath[] = "/tmp/linsolve_demo_out_XXXXXX";
  char errPath[] = "/tmp/linsolve_demo_err_XXXXXX";
  const int outFd = mkstemp(outPath), errFd = mkstemp(errPath);
  if (outFd < 0 || errFd < 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  pid_t pid = 0;
  int status = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ) == 0)
    waitpid(pid, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
  close(outFd);
  close(errFd);
  out = readFile(outPath);
  err = readFile(errPath);
  std::remove(outPath);
  std::remove(errPath);
  return status;
}

// The demo's system for the seed `seed`, solved here as the demo solves it
// (drand48: row i of A, then b_i; A^T A as both operators; "cgnormal" with
// "cgtol" 1e-12; x0 = 0), and the line the demo prints for its result.
struct DemoSystem {
  std::vector<double> A = std::vector<double>(50 * 50), b = std::vector<double>(50);
};
// G = A^T A, then G x, in the demo's order of operations: the solve is
// sensitive to the rounding of each product.
int normalProduct(const double* x, long n, double* y, long m, void* context) {
  const DemoSystem& s = *static_cast<const DemoSystem*>(context);
  std::vector<double> G(50 * 50), t(50);
  cblas_dgemm(CblasRowMajor, CblasTrans, CblasNoTrans, 50, 50, 50, 1.0, s.A.data(), 50,
              s.A.data(), 50, 0.0, G.data(), 50);
  cblas_dgemv(CblasRowMajor, CblasNoTrans, 50, 50, 1.0, G.data(), 50, x, 1, 0.0, t.data(), 1);
  std::copy(t.begin(), t.begin() + std::min(m, n), y);
  return 0;
}
std::string libraryLine(long seed) {
  srand48(seed);
  DemoSystem s;
  for (int i = 0; i < 50; ++i) {
    for (int j = 0; j < 50; ++j) s.A[i * 50 + j] = drand48();
    s.b[i] = drand48();
  }
  std::vector<double> x0(50, 0.0), x(50);
  IterativeResult result{};
  const char* names[] = {"cgtol"};
  const double values[] = {1e-12};
  testing::internal::CaptureStderr();
  const int rc = zelkcomp_linsolve("cgnormal", nullptr, s.b.data(), x0.data(), x.data(), nullptr,
                                   50, 50, normalProduct, normalProduct, nullptr, nullptr, &result,
                                   names, values, 1, &s);
  testing::internal::GetCapturedStderr();
  std::ostringstream line;
  line.precision(16);
  line << "CG Result: " << rc << " IterativeResult(status=" << result.status
       << ", it=" << result.it << ", residual=" << result.residual << ", relerr=" << result.relerr
       << ")";
  return line.str();
}

TEST(LinsolveDemo, PrintsTheLibrarysResultInOneLineOnStandardError) {
  const long before = static_cast<long>(std::time(nullptr));
  std::string out, err;
  const int status = runCaptured(std::string(ZELK_DEMO_DIR) + "/linsolve_demo", out, err);
  const long after = static_cast<long>(std::time(nullptr));
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(out, "");

  std::vector<std::string> results;
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("CG Result: ", 0) == 0) results.push_back(line);
  ASSERT_EQ(results.size(), 1u) << err;
  const std::regex format(
      "CG Result: (-?[0-9]+) IterativeResult\\(status=(-?[0-9]+), it=[0-9]+, "
      "residual=[-+.0-9e]+, relerr=[-+.0-9enaif]+\\)");
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(results[0], parts, format)) << results[0];
  EXPECT_EQ(parts[1], parts[2]);  // the entry's answer is the record's status word
  // The demo seeded drand48 with the time of its start: the library gives
  // the same line for that second's system.
  bool same = false;
  for (long seed = before; seed <= after && !same; ++seed) same = libraryLine(seed) == results[0];
  EXPECT_TRUE(same) << results[0] << "\n" << libraryLine(before);
}

}  // namespace
