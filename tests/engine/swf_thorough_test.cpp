// The thorough Flash movie rule: the three body forms (plain, zlib, LZMA), the stage rectangle,
// frame rate and count, the tag walk to the End tag, and cuts of plain movies.
#include <gtest/gtest.h>
#include <zlib.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

// Offsets in testsrc.swf: the frame rate and count behind a 7-byte rectangle, the tags, the end
// of the first frame, the End tag and the 32-bit length of the last tag with a long header.
constexpr std::size_t kRate = 15;
constexpr std::size_t kCount = 17;
constexpr std::size_t kFirstTag = 19;
constexpr std::size_t kFirstFrameEnd = 1247;
constexpr std::size_t kEndTag = 1346;
constexpr std::size_t kLastLongTagLength = 1256;
// In testsrc_zws.swf: the property byte, the dictionary size and the LZMA data.
constexpr std::size_t kLzmaProps = 12;
constexpr std::size_t kLzmaData = 17;

void PutLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The zlib form of a plain movie, its body compressed whole.
Bytes Compressed(const Bytes& fws) {
  uLongf size = compressBound(static_cast<uLong>(fws.size() - 8));
  Bytes body(size);
  EXPECT_EQ(compress2(body.data(), &size, fws.data() + 8, static_cast<uLong>(fws.size() - 8), 9),
            Z_OK);
  body.resize(size);
  Bytes cws = Join({Slice(fws, 0, 8), body});
  cws[0] = 'C';
  return cws;
}

TEST(SwfThorough, SamplesComeOutWhole) {
  for (const char* name : {"swf/testsrc.swf", "swf/testsrc_cws.swf", "swf/testsrc_zws.swf"}) {
    ExpectThoroughSampleComesOutWhole(Kind::Swf, ".SWF", name);
  }
}

TEST(SwfThorough, RefusesWhatNoPlayerOpens) {
  const Bytes fws = ReadTestData("swf/testsrc.swf");
  const Bytes cws = ReadTestData("swf/testsrc_cws.swf");
  const Bytes zws = ReadTestData("swf/testsrc_zws.swf");
  const std::uint32_t length = static_cast<std::uint32_t>(fws.size());
  const struct {
    const char* what;
    const Bytes& file;
    std::size_t at;
    std::uint32_t value;
    int bytes;
  } damages[] = {
      {"version 0", fws, 3, 0, 1},
      {"version 51", fws, 3, 51, 1},
      {"a file length too short for a body", fws, 4, 14, 4},
      {"an empty stage", fws, 8, 0, 1},
      {"no frame rate", fws, kRate, 0, 2},
      {"no frames", fws, kCount, 0, 2},
      {"tags that run past the file before a frame", fws, 4, 40, 4},
      {"a first tag of a code no player knows", fws, kFirstTag, 200 << 6, 2},
      {"a zlib body longer than declared", cws, 4, length - 1, 4},
      {"a zlib body shorter than declared", cws, 4, length + 1, 4},
      {"a damaged zlib body", cws, 200, 0x5A, 1},
      {"literal and position bits that do not fit", zws, kLzmaProps, 9 * 2 + 4, 1},
      {"a dictionary below 4 KiB", zws, kLzmaProps + 1, 0x800, 4},
      {"compressed data longer than the input", zws, 8, 1 << 20, 4},
      {"LZMA data that does not decode", zws, kLzmaData, 1, 1},
  };
  for (const auto& d : damages) {
    SCOPED_TRACE(d.what);
    Bytes bad = d.file;
    for (int i = 0; i < d.bytes; ++i) bad[d.at + i] = static_cast<std::uint8_t>(d.value >> (8 * i));
    ExpectThoroughWritesNothing({Kind::Swf}, Join({Filler(13), bad, Filler(40)}));
  }
}

// The inflated body is walked like a plain one: a sound stream of broken tags is no movie.
// Found in a compiled Python module: a docstring's "FWS is allowed between..." read as a plain
// movie whose text makes up a rectangle, a rate, a count and tags.
TEST(SwfThorough, TextIsNoMovie) {
  ExpectThoroughWritesNothing({Kind::Swf}, ReadTestData("swf/docstring_fws.bin"));
}

TEST(SwfThorough, ZlibBodyIsWalkedToItsEndTag) {
  const Bytes fws = ReadTestData("swf/testsrc.swf");
  ASSERT_EQ(Compressed(fws), ReadTestData("swf/testsrc_cws.swf"));
  Bytes brokenEnd = fws;
  brokenEnd[kEndTag] = 0x01;
  Bytes longTagPastTheEnd = fws;
  longTagPastTheEnd[kLastLongTagLength + 3] = 0x7F;
  for (const Bytes& body : {brokenEnd, longTagPastTheEnd}) {
    ExpectThoroughWritesNothing({Kind::Swf}, Join({Filler(13), Compressed(body), Filler(40)}));
  }
}

TEST(SwfThorough, PlainMovieCutBehindItsLastWholeFrame) {
  const Bytes fws = ReadTestData("swf/testsrc.swf");
  const std::pair<std::size_t, std::size_t> cuts[] = {
      {1300, kFirstFrameEnd},  // inside the second frame
      {kEndTag + 1, kEndTag},  // inside the End tag
  };
  for (const auto& [length, kept] : cuts) {
    ScanRun run;
    ScanThorough(run, {Kind::Swf}, Join({Filler(5), Slice(fws, 0, length)}));
    ASSERT_EQ(run.host.outputs.size(), 1u) << length;
    EXPECT_TRUE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), Slice(fws, 0, kept)) << length;
  }
  // Within the first frame, and compressed movies cut anywhere: nothing whole is left.
  ExpectThoroughWritesNothing({Kind::Swf}, Slice(fws, 0, kFirstTag + 100));
  for (const char* name : {"swf/testsrc_cws.swf", "swf/testsrc_zws.swf"}) {
    const Bytes file = ReadTestData(name);
    ExpectThoroughWritesNothing({Kind::Swf}, Slice(file, 0, file.size() - 1));
  }
}

// An End tag that claims data breaks the movie behind its last frame; the compressed movie
// behind it comes out whole.
TEST(SwfThorough, BrokenEndTagCutsTheMovieAndTheNextOneIsFound) {
  const Bytes fws = ReadTestData("swf/testsrc.swf");
  const Bytes cws = ReadTestData("swf/testsrc_cws.swf");
  Bytes broken = fws;
  broken[kEndTag] = 0x01;
  ExpectThoroughCutThenWhole(Kind::Swf, broken, Slice(fws, 0, kEndTag), cws);
}

// The End tag may stand before the file length; the movie still ends there.
TEST(SwfThorough, PlainMovieEndsAtItsFileLength) {
  Bytes padded = ReadTestData("swf/testsrc.swf");
  Append(padded, Bytes(6, 0));
  PutLe32(padded, 4, static_cast<std::uint32_t>(padded.size()));
  ScanRun run;
  ScanThorough(run, {Kind::Swf}, Join({Filler(3), padded, Filler(9)}));
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_FALSE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), padded);
}

}  // namespace
}  // namespace sorvend::test
