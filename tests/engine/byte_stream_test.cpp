// The input stream against the file's bytes: runs of reads, windows, seeks near and far and
// random peeks, in a file small enough to be read in place and in one large enough to be read
// ahead on a thread, give the bytes the file holds at every place.
#include "engine/byte_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

Bytes RandomBytes(std::size_t n, std::uint32_t seed) {
  Lcg rng(seed);
  Bytes b(n);
  for (auto& byte : b) byte = static_cast<std::uint8_t>(rng());
  return b;
}

// Reads through `path` as the scan does, checking every byte against `want`.
void WalkAndCompare(const std::string& path, const Bytes& want, std::uint32_t seed) {
  InputStream in;
  ASSERT_TRUE(in.Open(path));
  const auto size = static_cast<std::int64_t>(want.size());
  ASSERT_EQ(in.Size(), size);
  in.Seek(0);
  Lcg rng(seed);
  for (int step = 0; step < 20000 && in.Tell() < size; ++step) {
    const std::int64_t at = in.Tell();
    SCOPED_TRACE("step " + std::to_string(step) + " at " + std::to_string(at));
    switch (rng() % 6) {
      case 0: {  // single bytes
        const int n = static_cast<int>(rng() % 300);
        for (int i = 0; i < n && in.Tell() < size; ++i) {
          const auto t = static_cast<std::size_t>(in.Tell());
          ASSERT_EQ(in.Get(), want[t]);
        }
        break;
      }
      case 1:
      case 2: {  // the bulk walk: a window, then skipping most of it
        std::size_t avail = 0;
        const std::uint8_t* p = in.Window(4096, avail);
        const auto expected = static_cast<std::size_t>(std::min<std::int64_t>(4096, size - at));
        ASSERT_GE(avail, expected);
        ASSERT_TRUE(std::equal(p, p + avail, want.begin() + at));
        in.Skip(std::min<std::size_t>(avail, 1 + rng() % 5000));
        break;
      }
      case 3: {  // a measure's look far ahead or behind, which leaves the position alone
        const std::int64_t offset = static_cast<std::int64_t>(rng() % want.size());
        std::size_t avail = 0;
        const std::uint8_t* p = in.PeekAt(offset, 1 + rng() % InputStream::kBufferSize, avail);
        ASSERT_GT(avail, 0u);
        ASSERT_LE(static_cast<std::int64_t>(avail), size - offset);
        ASSERT_TRUE(std::equal(p, p + avail, want.begin() + offset));
        ASSERT_EQ(in.Tell(), at);
        break;
      }
      case 4: {  // a seek back a little, as after a refused candidate, and a read there
        in.Seek(std::max<std::int64_t>(0, at - static_cast<std::int64_t>(rng() % 6000)));
        for (int i = 0; i < 16 && in.Tell() < size; ++i) {
          const auto t = static_cast<std::size_t>(in.Tell());
          ASSERT_EQ(in.Get(), want[t]);
        }
        break;
      }
      default: {  // a seek ahead behind an object, near or far
        const std::int64_t jump = rng() % 16 != 0 ? rng() % 9000 : rng() % (size / 8);
        in.Seek(std::min(size, at + jump));
        break;
      }
    }
  }
  // Whatever the steps left, the rest reads as the file holds it, then the end.
  while (in.Tell() < size) {
    const auto t = static_cast<std::size_t>(in.Tell());
    ASSERT_EQ(in.Get(), want[t]);
  }
  EXPECT_EQ(in.Get(), -1);
  EXPECT_TRUE(in.Eof());
}

TEST(InputStream, EveryReadGivesTheFilesBytes) {
  ScratchDir dir;
  const struct {
    const char* what;
    std::size_t size;
  } cases[] = {
      {"read in place", 300 * 1000},
      {"read ahead", static_cast<std::size_t>(InputStream::kReadAheadFrom) + 5 * 1000 * 1000 + 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes data = RandomBytes(c.size, static_cast<std::uint32_t>(c.size));
    const std::string path = dir.File(c.what);
    WriteFile(path, data);
    for (std::uint32_t seed = 1; seed <= 4; ++seed) WalkAndCompare(path, data, seed);
  }
}

// One stream, one file after another: each is read from its own start, the large one ahead.
TEST(InputStream, ReopeningStartsAfresh) {
  ScratchDir dir;
  const Bytes large = RandomBytes(static_cast<std::size_t>(InputStream::kReadAheadFrom) * 3, 9);
  const Bytes small = RandomBytes(5000, 10);
  WriteFile(dir.File("large"), large);
  WriteFile(dir.File("small"), small);
  InputStream in;
  for (const auto& [name, data] :
       {std::pair{"large", &large}, std::pair{"small", &small}, std::pair{"large", &large}}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(in.Open(dir.File(name)));
    ASSERT_EQ(in.Size(), static_cast<std::int64_t>(data->size()));
    in.Seek(0);
    // Half the file, then the next file: the read ahead of the first must not leak into it.
    for (std::size_t i = 0; i < data->size() / 2; ++i) ASSERT_EQ(in.Get(), (*data)[i]);
  }
}

}  // namespace
}  // namespace sorvend::test
