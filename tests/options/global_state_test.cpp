#include <dlfcn.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "options/error_exit.h"
#include "options/global_state.h"
#include "options/option_map.h"
#include "options/opts.h"
#include "options/search_dir.h"

namespace {

std::vector<std::string> statusNames() {
  std::vector<std::string> names;
  for (const auto& entry : State::g_statelocs) names.push_back(entry.first);
  return names;
}

TEST(RunState, StatusRegistryAfterLoad) {
  ASSERT_EQ(statusNames(), (std::vector<std::string>{"error", "iter", "status"}));
  for (const auto& [name, slot] : State::g_statelocs) {
    EXPECT_EQ(slot->get(), 0.0) << name;
    EXPECT_EQ(slot->min, 0.0);
    EXPECT_EQ(slot->max, 0.0);
    EXPECT_EQ(slot->flags, 0u);
  }
  EXPECT_EQ(dynamic_cast<VariantPtr<int>*>(State::g_statelocs.at("error"))->field,
            state.error.address());
  EXPECT_EQ(dynamic_cast<VariantPtr<int>*>(State::g_statelocs.at("status"))->field,
            state.status.address());
  EXPECT_EQ(dynamic_cast<VariantPtr<int>*>(State::g_statelocs.at("iter"))->field,
            state.iter.address());
  EXPECT_STREQ(state.stateFile, "zelk-current.mat");
  EXPECT_EQ(state.innerIterations, -1);
  EXPECT_EQ(state.lowestCurvature(), -1.0);
  EXPECT_EQ(state.liftShift(), 0.0);
}

TEST(RunState, ResetRestoresInitialValuesAndKeepsTheRegistry) {
  const auto registryBefore = State::g_statelocs;
  state.request = 3;
  state.error = 5;
  state.status = 0x1000;
  state.iter = 17;
  state.current = {1.0, 2.0, 3.0};
  state.stateFile = "other.mat";
  state.innerIterations = 40;
  state.lmRank() = 7;
  state.reset();

  EXPECT_EQ(state.request.load(), 0);
  EXPECT_EQ(state.error, 0);
  EXPECT_EQ(state.status, 0);
  EXPECT_EQ(state.iter, 0);
  EXPECT_EQ(state.current.size(), 0u);
  EXPECT_STREQ(state.stateFile, "zelk-current.mat");
  EXPECT_EQ(state.innerIterations, -1);
  EXPECT_EQ(state.lmRank(), -1);

  EXPECT_EQ(State::g_statelocs, registryBefore);
  state.iter = 12;
  EXPECT_EQ(State::g_statelocs.at("iter")->get(), 12.0);
  state.reset();
}

TEST(RunState, TemporaryStatesLeaveTheRegistryAlone) {
  const auto registryBefore = State::g_statelocs;
  {
    GlobalState scratch;
    scratch.iter = 99;
    EXPECT_EQ(scratch.lmFinalAlpha(), -1.0);
    EXPECT_EQ(State::g_statelocs, registryBefore);
  }
  EXPECT_EQ(State::g_statelocs, registryBefore);
  EXPECT_EQ(State::g_statelocs.at("iter")->get(), static_cast<double>(state.iter));

  // A registration of another state takes out exactly its own entries.
  std::map<std::string, VariantPtrBase*> local;
  GlobalState other;
  {
    StatusRegistration reg(other, local);
    other.status = 0x40;
    EXPECT_EQ(local.size(), 3u);
    EXPECT_EQ(local.at("status")->get(), 64.0);
  }
  EXPECT_TRUE(local.empty());
  EXPECT_EQ(State::g_statelocs, registryBefore);
}

TEST(SearchDirNames, ValuesAndCombinations) {
  EXPECT_EQ(sdname(SearchDir::None), "None");
  EXPECT_EQ(sdname(SearchDir::SD0), "SD0");
  EXPECT_EQ(sdname(SearchDir::SD3), "SD3");
  EXPECT_EQ(sdname(SearchDir::SD6), "SD6");
  EXPECT_EQ(sdname(static_cast<SearchDir>(3)), "unknown");
  EXPECT_EQ(sdname(static_cast<SearchDir>(128)), "unknown");
  EXPECT_EQ(sdname(static_cast<SearchDir>(0x80000000u)), "unknown");
}

// Options and run state the error-exit tests change, put back afterwards.
class ErrorExit : public ::testing::Test {
 protected:
  void TearDown() override {
    opts.enableExit = savedExit_;
    opts.enableErrorHandler = savedHandlerOn_;
    errorHandler = nullptr;
    state.error = 0;
  }
  unsigned int savedExit_ = opts.enableExit;
  unsigned int savedHandlerOn_ = opts.enableErrorHandler;
};

int handledCode = 0;
void recordCode(int code) { handledCode = code; }
void announceCode(int code) { std::fprintf(stderr, "handler got %d\n", code); }

TEST_F(ErrorExit, ZelkStopReturnsWhenExitIsOff) {
  opts.enableExit = 0;
  opts.enableErrorHandler = 0;
  errorHandler = recordCode;
  handledCode = -1;
  testing::internal::CaptureStderr();
  zelkStop("No variables", 5);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: No variables code 5\n");
  EXPECT_EQ(state.error, 5);
  EXPECT_EQ(State::g_statelocs.at("error")->get(), 5.0);
  EXPECT_EQ(handledCode, -1);  // handler switched off

  // Handler on but none installed: nothing to call.
  opts.enableErrorHandler = 1;
  errorHandler = nullptr;
  testing::internal::CaptureStderr();
  zelkStop("again", -2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: again code -2\n");
  EXPECT_EQ(state.error, -2);

  // Handler on and installed, exit off: called with the code, then back.
  errorHandler = recordCode;
  testing::internal::CaptureStderr();
  zelkStop("with handler", 7);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(handledCode, 7);
}

TEST_F(ErrorExit, ZelkStopExitsWithTheCode) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(zelkStop("No variables", 5), testing::ExitedWithCode(5),
              "^Error: No variables code 5\n$");
  // Defaults: the handler runs with the code before the exit.
  errorHandler = announceCode;
  EXPECT_EXIT(zelkStop("bad input", 9), testing::ExitedWithCode(9),
              "^Error: bad input code 9\nhandler got 9\n$");
  opts.enableErrorHandler = 0;
  EXPECT_EXIT(zelkStop("quiet", 4), testing::ExitedWithCode(4), "^Error: quiet code 4\n$");
}

TEST_F(ErrorExit, StopExitsWithThree) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  opts.enableExit = 0;  // stop does not depend on it
  EXPECT_EXIT(stop("bad"), testing::ExitedWithCode(3), "^stop: bad\n$");
}

TEST(BuildInformation, FourStrings) {
  EXPECT_STREQ(into[0], "libzelk");
  EXPECT_EQ(std::strlen(into[1]), 11u);  // "Aug 30 2026"
  EXPECT_EQ(std::strlen(into[2]), 8u);   // "18:33:36"
  EXPECT_STREQ(into[3], "x86-64");
}

// The component library, loaded beside the main one, keeps its own option
// block and run state and has no error exits.
TEST(ComponentLibrary, HasItsOwnGlobals) {
  void* lib = dlopen(ZELKCOMP_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();

  auto* compOpts = static_cast<Opts*>(dlsym(lib, "opts"));
  auto* compState = static_cast<GlobalState*>(dlsym(lib, "state"));
  ASSERT_NE(compOpts, nullptr);
  ASSERT_NE(compState, nullptr);
  EXPECT_NE(compOpts, &opts);
  EXPECT_NE(compState, &state);
  EXPECT_EQ(compOpts->registry.size(), 106u);
  EXPECT_EQ(compOpts->maxit, 10000u);
  EXPECT_EQ(compOpts->registry.at("maxit")->get(), 10000.0);
  EXPECT_EQ(dynamic_cast<VariantPtr<unsigned int>*>(compOpts->registry.at("maxit")) == nullptr,
            false);

  auto* compLocs = static_cast<std::map<std::string, VariantPtrBase*>*>(
      dlsym(lib, "_ZN5State11g_statelocsB5cxx11E"));
  ASSERT_NE(compLocs, nullptr);
  EXPECT_NE(compLocs, &State::g_statelocs);
  EXPECT_EQ(compLocs->size(), 3u);
  EXPECT_EQ(dynamic_cast<VariantPtr<int>*>(compLocs->at("iter"))->field, compState->iter.address());

  // Its setopt works on its own block.
  using SetOpt = int (*)(long, double);
  auto compSetopt = reinterpret_cast<SetOpt>(dlsym(lib, "_Z15zelkcomp_setoptld"));
  ASSERT_NE(compSetopt, nullptr);
  const unsigned int mainTrace = opts.trace;
  EXPECT_EQ(compSetopt(0, 41), 0);
  EXPECT_EQ(compOpts->trace, 41u);
  EXPECT_EQ(opts.trace, mainTrace);

  EXPECT_EQ(dlsym(lib, "errorHandler"), nullptr);
  EXPECT_EQ(dlsym(lib, "into"), nullptr);
  EXPECT_EQ(dlsym(lib, "_Z8zelkStopNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEi"),
            nullptr);
  EXPECT_EQ(dlsym(lib, "_Z4stopRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"),
            nullptr);
  EXPECT_EQ(dlclose(lib), 0);
}

}  // namespace
