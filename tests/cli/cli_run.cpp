#include "tests/cli/cli_run.h"

#include <sys/wait.h>

#include <cstdio>
#include <sstream>

namespace sorvend::test {
namespace {

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace

Result RunCli(const std::vector<std::string>& args, const ScratchDir& dir,
              const std::string& shellPrefix, const std::string& runner) {
  std::string cmd = shellPrefix + "exec " + runner + " " + Quote(SORVEND_CLI);
  for (const std::string& a : args) cmd += " " + Quote(a);
  const std::string errFile = dir.File(".stderr");
  cmd += " 2>" + Quote(errFile) + " </dev/null";
  Result r;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int raw = pclose(p);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  const Bytes err = ReadFile(errFile);
  r.err.assign(err.begin(), err.end());
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) r.lines.push_back(line);
  return r;
}

Bytes WithDib(std::size_t before, std::uint8_t seed) {
  return Join({Filler(before, seed), BareDib(seed)});
}

}  // namespace sorvend::test
