// Level-4 MAT files: the bytes written, the directory rule, the reader's
// refusals, and an independent reader and writer (SciPy's) on both sides.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <valarray>
#include <vector>

#include "driver/mat4_file.h"
#include "driver/state_file.h"
#include "support/captured_output.h"
#include "support/fp_traps.h"
#include "support/scratch_dir.h"

namespace {

using Bytes = std::string;
using Vec = std::valarray<double>;

Bytes readBytes(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}
void writeBytes(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary) << b;
}

// A Level-4 file built by hand.
Bytes mat4(std::int32_t type, std::int32_t rows, std::int32_t cols, std::int32_t imagf,
           const std::string& name, std::int32_t namlen, const std::vector<double>& data) {
  Bytes b;
  for (std::int32_t v : {type, rows, cols, imagf, namlen}) b.append(reinterpret_cast<char*>(&v), 4);
  b += name;
  b.resize(b.size() + static_cast<std::size_t>(namlen) - name.size(), 0);
  for (double d : data) b.append(reinterpret_cast<char*>(&d), 8);
  return b;
}

// Files go to a scratch working directory; the host's own traps stay on.
class Mat4File : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  ScratchDir dir_;
  FpTrapGuard traps_;
};

TEST_F(Mat4File, WritesTheLayoutAndReadsItBack) {
  const MatrixTemplate<double> m(2, 3, Vec{1, 2, 3, 4, 5, 6});
  std::string path = "m.mat";
  ASSERT_TRUE(writeMat4File(m, "abc", path));
  EXPECT_EQ(readBytes(path), mat4(0, 2, 3, 0, "abc", 4, {1, 4, 2, 5, 3, 6}));

  // The state file of (1.5, -2): 52 bytes, back in as a column and as a row.
  EXPECT_EQ(stderrOf([] { ASSERT_TRUE(saveStateFile(Vec{1.5, -2}, "zelk-current.mat")); }),
            "Saved state to zelk-current.mat\n");
  EXPECT_EQ(readBytes("zelk-current.mat").size(), 52u);
  EXPECT_EQ(readBytes("zelk-current.mat"), mat4(0, 2, 1, 0, "zelk_current", 16, {1.5, -2}));
  Vec x(0.0, 2), three(0.0, 3);
  EXPECT_TRUE(resumeFromStateFile("zelk-current.mat", x));
  EXPECT_EQ(std::vector<double>(std::begin(x), std::end(x)), (std::vector<double>{1.5, -2}));
  writeBytes("row.mat", mat4(0, 1, 2, 0, "zelk_current", 16, {3, 4}));
  EXPECT_TRUE(resumeFromStateFile("row.mat", x));
  EXPECT_EQ(x[1], 4.0);
  EXPECT_FALSE(resumeFromStateFile("row.mat", three));
  EXPECT_FALSE(resumeFromStateFile("missing.mat", three));
}

// The directory of a file written without a path: QX_DATA_DIR, else TMP
// (even empty), else TEMP, else /tmp. The variables are put back after.
TEST_F(Mat4File, DefaultDirectoryFromTheEnvironment) {
  const char* const names[] = {"TMP", "TEMP", "QX_DATA_DIR"};
  std::vector<std::optional<std::string>> saved;
  for (const char* name : names) {
    const char* v = std::getenv(name);
    saved.push_back(v ? std::optional<std::string>(v) : std::nullopt);
  }
  const auto set = [&](std::size_t i, const char* value) {
    value ? setenv(names[i], value, 1) : unsetenv(names[i]);
  };
  const std::string inside = dir_.path() + "/t";
  std::filesystem::create_directory(inside);
  struct Case {
    const char *tmp, *temp, *data;  // null: unset
    std::string dir;
  } const cases[] = {
      {nullptr, nullptr, nullptr, "/tmp"},      {nullptr, "/var/t", nullptr, "/var/t"},
      {"/a", "/var/t", nullptr, "/a"},          {"", "/var/t", nullptr, ""},
      {"/a", "/var/t", "/d", "/d"},             {nullptr, nullptr, "/d", "/d"},
      {inside.c_str(), "/var/t", nullptr, inside},
  };
  for (const Case& c : cases) {
    set(0, c.tmp);
    set(1, c.temp);
    set(2, c.data);
    EXPECT_EQ(mat4DefaultPath("gerr"), c.dir + "/gerr.mat");
  }
  // The last directory exists: a dump lands there.
  EXPECT_TRUE(dumpMat4File(MatrixTemplate<double>(2, 1, Vec{1, 2}), "gerr"));
  EXPECT_EQ(readMat4File(inside + "/gerr.mat").elements.size(), 2u);
  for (std::size_t i = 0; i < 3; ++i) set(i, saved[i] ? saved[i]->c_str() : nullptr);
}

TEST_F(Mat4File, FailedWritesAreReported) {
  std::string path = "no-such-dir/x.mat", why;
  EXPECT_FALSE(writeMat4File(MatrixTemplate<double>(1, 1, Vec{1}), "x", path, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(stderrOf([] { EXPECT_FALSE(saveStateFile(Vec{1}, "no-such-dir/zelk-current.mat")); })
                .rfind("Could not save state to no-such-dir/zelk-current.mat: ", 0),
            0u);
}

TEST_F(Mat4File, ReaderRefusesBadFiles) {
  struct Case {
    const char* what;
    Bytes bytes;
    const char* message;
  } const cases[] = {
      {"short header", Bytes(12, 0), "input stream left in error state\n"},
      {"type 10 (single)", mat4(10, 1, 1, 0, "a", 4, {1}), "not a real double full matrix"},
      {"big-endian type", mat4(1000, 1, 1, 0, "a", 4, {1}), "not a real double full matrix"},
      {"complex", mat4(0, 1, 1, 1, "a", 4, {1, 2}), "not a real double full matrix"},
      {"negative rows", mat4(0, -1, 1, 0, "a", 4, {}), "invalid header"},
      {"no name", mat4(0, 1, 1, 0, "", 0, {1}), "invalid header"},
      {"data short", mat4(0, 2, 2, 0, "a", 4, {1, 2, 3}), "input stream left in error state\n"},
      {"huge sizes", mat4(0, 2147483647, 2147483647, 0, "a", 4, {1}),
       "input stream left in error state\n"},
      {"name past the end", mat4(0, 0, 0, 0, "", 64, {}).substr(0, 20),
       "input stream left in error state\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeBytes("bad.mat", c.bytes);
    MatrixTemplate<double> m;
    EXPECT_PRED2(contains, stderrOf([&] { m = readMat4File("bad.mat"); }), c.message);
    EXPECT_EQ(m.elements.size(), 0u);
  }

  // An unpadded name (one NUL), as other writers make it.
  writeBytes("plain.mat", mat4(0, 1, 2, 0, std::string("v\0", 2), 2, {5, 6}));
  Vec two(0.0, 2);
  stderrOf([&] { EXPECT_TRUE(resumeFromStateFile("plain.mat", two)); });
  EXPECT_EQ(std::vector<double>(std::begin(two), std::end(two)), (std::vector<double>{5, 6}));
}

TEST_F(Mat4File, AnIndependentReaderAndWriterAgree) {
  // SciPy, from the Debian package, on the system interpreter.
  if (std::system("/usr/bin/python3 -c 'import scipy.io' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "/usr/bin/python3 cannot import scipy";
  std::string path = "m.mat";
  ASSERT_TRUE(writeMat4File(MatrixTemplate<double>(2, 3, Vec{1, 2, 3, 4, 5, 6.25}), "m", path));
  stderrOf([] { ASSERT_TRUE(saveStateFile(Vec{1.5, -2}, "zelk-current.mat")); });
  const char* check =
      "/usr/bin/python3 -c \""
      "import scipy.io, numpy as np\n"
      "m = scipy.io.loadmat('m.mat', appendmat=False)['m']\n"
      "s = scipy.io.loadmat('zelk-current.mat', appendmat=False)['zelk_current']\n"
      "assert m.dtype == np.float64 and m.tolist() == [[1, 2, 3], [4, 5, 6.25]], m\n"
      "assert s.tolist() == [[1.5], [-2.0]], s\n"
      "scipy.io.savemat('theirs.mat', {'zelk_current': np.array([[0.5, -3.0, 7.0]])}, format='4')\n"
      "\"";
  ASSERT_EQ(std::system(check), 0);
  Vec x(0.0, 3);
  EXPECT_EQ(stderrOf([&] { EXPECT_TRUE(resumeFromStateFile("theirs.mat", x)); }),
            "Resume from theirs.mat\n");
  EXPECT_EQ(std::vector<double>(std::begin(x), std::end(x)), (std::vector<double>{0.5, -3, 7}));
}

}  // namespace
