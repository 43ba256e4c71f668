// The thorough Windows Media rule: header object, file properties, streams, the data object's
// packets and index objects; the kind by the streams, broadcast files and cuts.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

std::uint64_t Le64At(const Bytes& b, std::size_t at) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | b[at + i];
  return v;
}

void PutLe64(Bytes& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Where the file's parts start: the header's objects by the first byte of their GUID, the data
// object and what follows it.
struct Layout {
  std::map<std::uint8_t, std::size_t> headerObjects;
  std::size_t data = 0;
  std::size_t dataEnd = 0;
};

Layout LayoutOf(const Bytes& asf) {
  Layout l;
  std::size_t at = 30;
  for (std::uint32_t i = 0; i < asf[24]; ++i) {
    l.headerObjects[asf[at]] = at;
    at += Le64At(asf, at + 16);
  }
  l.data = at;
  l.dataEnd = at + Le64At(asf, at + 16);
  return l;
}

constexpr std::uint8_t kFileProperties = 0xA1;
constexpr std::uint8_t kStreamProperties = 0x91;
constexpr std::size_t kPacket = 512;

TEST(AsfThorough, SamplesComeOutWhole) {
  ExpectThoroughSampleComesOutWhole(Kind::Wma, ".WMA", "asf/sine.wma");
  ExpectThoroughSampleComesOutWhole(Kind::Wmv, ".WMV", "asf/testsrc.wmv");
}

// A file with a video stream is a video, whatever else it holds; each kind is taken only when
// its switch is on.
TEST(AsfThorough, KindByTheStreamsAndItsSwitch) {
  const Bytes wma = ReadTestData("asf/sine.wma"), wmv = ReadTestData("asf/testsrc.wmv");
  ExpectThoroughWritesNothing({Kind::Wmv}, Join({Filler(3), wma}));
  ExpectThoroughWritesNothing({Kind::Wma}, Join({Filler(3), wmv}));
  ScanRun run;
  ScanThorough(run, {Kind::Wma, Kind::Wmv}, Join({wmv, wma}));
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_EQ(run.host.outputs[0].name, run.dir.File("ANT0000.WMV"));
  EXPECT_EQ(run.host.outputs[1].name, run.dir.File("ANT0001.WMA"));
  EXPECT_EQ(run.Output(0), wmv);
  EXPECT_EQ(run.Output(1), wma);
}

TEST(AsfThorough, RefusesWhatNoPlayerOpens) {
  const Bytes wma = ReadTestData("asf/sine.wma");
  const Layout l = LayoutOf(wma);
  const std::size_t props = l.headerObjects.at(kFileProperties);
  const struct {
    const char* what;
    std::size_t at;
    std::uint64_t value;
    int bytes;
  } damages[] = {
      {"no header objects", 24, 0, 4},
      {"a header object count beyond its objects", 24, 5, 4},
      {"the second reserved byte", 29, 1, 1},
      {"a header too short for the file properties", 16, 100, 8},
      {"no file properties", props, 0xA2, 1},
      {"no stream", l.headerObjects.at(kStreamProperties), 0x92, 1},
      {"no data object", l.data, 0x37, 1},
      {"a data object of another file", l.data + 24, 0x55, 1},
      {"a data object smaller than its fixed part", l.data + 16, 49, 8},
      {"a first packet with stream numbers of two bytes", l.data + 54, 0x9D, 1},
      {"a file size below header and data", props + 40, l.dataEnd - 1, 8},
  };
  for (const auto& d : damages) {
    SCOPED_TRACE(d.what);
    Bytes bad = wma;
    for (int i = 0; i < d.bytes; ++i) bad[d.at + i] = static_cast<std::uint8_t>(d.value >> (8 * i));
    ExpectThoroughWritesNothing({Kind::Wma, Kind::Wmv}, Join({Filler(13), bad, Filler(40)}));
  }
}

// A broadcast file's size is unknown; it ends with its data object.
TEST(AsfThorough, BroadcastFileEndsWithItsData) {
  const Bytes wmv = ReadTestData("asf/testsrc.wmv");
  const Layout l = LayoutOf(wmv);
  const std::size_t props = l.headerObjects.at(kFileProperties);
  Bytes flagged = wmv;
  flagged[props + 88] |= 1;
  Bytes sizeless = wmv;
  PutLe64(sizeless, props + 40, 0);
  for (const Bytes& file : {flagged, sizeless}) {
    ScanRun run;
    ScanThorough(run, {Kind::Wmv}, Join({Filler(9), file, Filler(20)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_FALSE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), Slice(file, 0, l.dataEnd));
  }
}

TEST(AsfThorough, CutBehindTheLastWholePacketOrObject) {
  const Bytes wma = ReadTestData("asf/sine.wma"), wmv = ReadTestData("asf/testsrc.wmv");
  const std::size_t packets = LayoutOf(wma).data + 50;
  const std::size_t wmvDataEnd = LayoutOf(wmv).dataEnd;
  const struct {
    const Bytes& file;
    std::size_t length;
    std::size_t kept;
  } cuts[] = {
      {wma, packets + 2 * kPacket + 100, packets + 2 * kPacket},  // inside the third packet
      {wma, wma.size() - 1, packets + 3 * kPacket},               // inside the last packet
      {wmv, wmv.size() - 10, wmvDataEnd},                         // inside the index
  };
  for (const auto& c : cuts) {
    ScanRun run;
    ScanThorough(run, {Kind::Wma, Kind::Wmv}, Join({Filler(5), Slice(c.file, 0, c.length)}));
    ASSERT_EQ(run.host.outputs.size(), 1u) << c.length;
    EXPECT_TRUE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), Slice(c.file, 0, c.kept)) << c.length;
  }
  // Cut within the first packet: nothing to play.
  ExpectThoroughWritesNothing({Kind::Wma}, Slice(wma, 0, packets + kPacket - 1));
}

// A damaged index object leaves the video cut behind its data; the next file is whole.
TEST(AsfThorough, DamagedIndexCutsTheFileAndTheNextOneIsFound) {
  const Bytes wmv = ReadTestData("asf/testsrc.wmv"), wma = ReadTestData("asf/sine.wma");
  const Layout l = LayoutOf(wmv);
  Bytes broken = wmv;
  broken[l.dataEnd + 3] ^= 0x40;
  const Bytes before = Filler(66);
  ScanRun run;
  ScanThorough(run, {Kind::Wma, Kind::Wmv}, Join({before, broken, wma}));
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_TRUE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), Slice(wmv, 0, l.dataEnd));
  EXPECT_FALSE(run.host.outputs[1].cut);
  EXPECT_EQ(run.host.outputs[1].offset, static_cast<std::int64_t>(before.size() + wmv.size()));
  EXPECT_EQ(run.Output(1), wma);
}

// A file cut short and followed by other bytes: its data object's size reaches over them, but
// the packet they break ends it; the video behind is found.
TEST(AsfThorough, PacketsEndAtTheFirstBrokenOne) {
  const Bytes wma = ReadTestData("asf/sine.wma"), wmv = ReadTestData("asf/testsrc.wmv");
  const std::size_t packets = LayoutOf(wma).data + 50;
  const Bytes cut = Slice(wma, 0, packets + 2 * kPacket + 100);
  const Bytes filler = Filler(20);
  ScanRun run;
  ScanThorough(run, {Kind::Wma, Kind::Wmv}, Join({cut, filler, wmv}));
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_TRUE(run.host.outputs[0].cut);
  EXPECT_EQ(run.Output(0), Slice(wma, 0, packets + 2 * kPacket));
  EXPECT_EQ(run.host.outputs[1].offset, static_cast<std::int64_t>(cut.size() + filler.size()));
  EXPECT_EQ(run.Output(1), wmv);
}

}  // namespace
}  // namespace sorvend::test
