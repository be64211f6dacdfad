// The `quill` command's entry point; the command itself is quill::run (app.cpp).
#include <csignal>
#include <cstdlib>

#include "cli/common.hpp"

int main(int argc, char** argv) {
  // A printer or a reader that goes away must not kill the process.
  std::signal(SIGPIPE, SIG_IGN);
  return quill::run(argc, argv, std::getenv("QUILL_PRINTER"));
}
