// Runs sorvend-cli as a process for the command line's tests.
#pragma once

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace sorvend::test {

struct Result {
  int status = -1;
  std::string out, err;
  std::vector<std::string> lines;  // stdout by line
};

// Runs sorvend-cli through the shell with stdin from /dev/null; its stderr passes through a
// file in `dir`. `shellPrefix` can set limits for it first; `runner` is a command that runs it
// (as another user, say).
Result RunCli(const std::vector<std::string>& args, const ScratchDir& dir,
              const std::string& shellPrefix = "", const std::string& runner = "");

// A bare 5 x 3 24-bit bitmap (102 bytes once written) behind `before` filler bytes.
Bytes WithDib(std::size_t before, std::uint8_t seed = 1);

}  // namespace sorvend::test
