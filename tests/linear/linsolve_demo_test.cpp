// The linear-solve demo program, run as a separate process with its two
// output streams captured apart.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

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

TEST(LinsolveDemo, PrintsOneResultLineOnStandardErrorOnly) {
  std::string out, err;
  const int status = runCaptured(std::string(ZELK_DEMO_DIR) + "/linsolve_demo", out, err);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(out, "");

  int resultLines = 0;
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("CG Result: ", 0) != 0) continue;
    ++resultLines;
    EXPECT_NE(line.find(" IterativeResult(status="), std::string::npos) << line;
    EXPECT_NE(line.find(", it="), std::string::npos) << line;
    EXPECT_NE(line.find(", residual="), std::string::npos) << line;
    EXPECT_NE(line.find(", relerr="), std::string::npos) << line;
    EXPECT_EQ(line.back(), ')') << line;
  }
  EXPECT_EQ(resultLines, 1) << err;
  // The solve itself ran: the front end traced method "cgnormal".
  EXPECT_NE(err.find("comp_linsolve:500: CG: CGSolver(n=50,"), std::string::npos) << err;
}

}  // namespace
