#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

TEST(ScanFile, EmptyInputRunsTheBodyOnce) {
  ScanRun run;
  Scan(run, {});
  EXPECT_EQ(run.ctx.Position, 1);
  EXPECT_TRUE(run.host.outputs.empty());
}

}  // namespace
}  // namespace sorvend::test
