// Running the built `quill` command in the tests of the command (cli_*_test.cpp).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.hpp"

namespace quillkit::clitest {

// The built binary; empty when the command is not part of this build (QUILLKIT_BUILD_TOOLS off),
// and the tests then skip.
#ifdef QUILL_BINARY
inline const std::string kQuill = QUILL_BINARY;
#else
inline const std::string kQuill;
#endif

using Env = std::map<std::string, std::optional<std::string>>;

// Runs quill with `args`; QUILL_PRINTER is removed from its environment unless `env` sets it.
inline testing::ProcessResult quill(std::vector<std::string> args, Env env = {},
                                    std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  args.insert(args.begin(), kQuill);
  env.try_emplace("QUILL_PRINTER", std::nullopt);
  return testing::run_process(args, env, timeout);
}

inline double seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace quillkit::clitest

#define SKIP_WITHOUT_QUILL()                                                    \
  do {                                                                          \
    if (::quillkit::clitest::kQuill.empty()) GTEST_SKIP() << "quill not built"; \
  } while (0)
