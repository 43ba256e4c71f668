// The thorough Matroska and WebM rule: the EBML header and its document type, the Segment's
// children walked by their sizes, clusters of unknown size, and cuts.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

constexpr std::uint8_t kClusterId[] = {0x1F, 0x43, 0xB6, 0x75};

int VintLength(std::uint8_t first) {
  int length = 1;
  for (int marker = 0x80; marker != 0 && (first & marker) == 0; marker >>= 1) ++length;
  return length;
}

// Offsets of the file's clusters. The samples' frames hold no cluster ID.
std::vector<std::size_t> Clusters(const Bytes& file) {
  std::vector<std::size_t> found;
  for (std::size_t at = 0; at + 4 <= file.size(); ++at) {
    if (std::equal(kClusterId, kClusterId + 4, file.begin() + at)) found.push_back(at);
  }
  return found;
}

// The element's size field set to "unknown" (all ones), keeping its length.
void MakeSizeUnknown(Bytes& file, std::size_t at) {
  const int idLength = VintLength(file[at]);
  const int sizeLength = VintLength(file[at + idLength]);
  file[at + idLength] = static_cast<std::uint8_t>(0xFF >> (sizeLength - 1));
  for (int i = 1; i < sizeLength; ++i) file[at + idLength + i] = 0xFF;
}

Bytes WithOpenClusters(const std::string& name) {
  Bytes file = ReadTestData(name);
  for (std::size_t at : Clusters(file)) MakeSizeUnknown(file, at);
  return file;
}

TEST(MkvThorough, SamplesComeOutWhole) {
  ExpectThoroughSampleComesOutWhole(Kind::Mkv, ".WEBM", "mkv/testsrc.webm");
  ExpectThoroughSampleComesOutWhole(Kind::Mkv, ".MKV", "mkv/testsrc.mkv");
  ExpectThoroughSampleComesOutWhole(Kind::Mkv, ".WEBM", "mkv/live.webm");
}

// Clusters of unknown size are followed through their blocks, in Segments of either kind.
TEST(MkvThorough, ClustersOfUnknownSize) {
  for (const char* name : {"mkv/testsrc.webm", "mkv/testsrc.mkv", "mkv/live.webm"}) {
    SCOPED_TRACE(name);
    const Bytes file = WithOpenClusters(name);
    ScanRun run;
    ScanThorough(run, {Kind::Mkv}, Join({Filler(11), file, Filler(50)}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_FALSE(run.host.outputs[0].cut);
    EXPECT_EQ(run.Output(0), file);
  }
}

// A live stream ends where the next file begins.
TEST(MkvThorough, StreamsBackToBack) {
  const Bytes live = ReadTestData("mkv/live.webm"), open = WithOpenClusters("mkv/live.webm");
  const Bytes known = ReadTestData("mkv/testsrc.mkv");
  ScanRun run;
  ScanThorough(run, {Kind::Mkv}, Join({live, open, known, live}));
  ASSERT_EQ(run.host.outputs.size(), 4u);
  EXPECT_EQ(run.Output(0), live);
  EXPECT_EQ(run.Output(1), open);
  EXPECT_EQ(run.Output(2), known);
  EXPECT_EQ(run.Output(3), live);
}

TEST(MkvThorough, RefusesWhatNoPlayerOpens) {
  const Bytes webm = ReadTestData("mkv/testsrc.webm");
  const Bytes live = ReadTestData("mkv/live.webm");
  Bytes otherDocType = webm;
  otherDocType[0x1A] = 'x';  // "webm" becomes "wexm"
  Bytes readVersion2 = webm;
  readVersion2[0x0C] = 2;  // EBMLReadVersion
  Bytes zeroSizeByte = webm;
  zeroSizeByte[4] = 0x00;  // the header's size: no length marker in its first byte
  Bytes noTracks = live;
  noTracks[235] = 0x17;  // the track list's ID: its first byte no longer matches
  const std::size_t headerEnd = 36;
  const std::size_t segmentData = 48;
  const std::vector<std::size_t> liveClusters = Clusters(live);
  const Bytes clusterFirst = Join({Slice(live, 0, segmentData),
                                   Slice(live, liveClusters[0], liveClusters[1] - liveClusters[0]),
                                   Slice(live, segmentData, liveClusters[0] - segmentData),
                                   Slice(live, liveClusters[1], live.size() - liveClusters[1])});
  const struct {
    const char* what;
    Bytes data;
  } cases[] = {
      {"another document type", otherDocType},
      {"a newer reading version", readVersion2},
      {"a size with no length marker", zeroSizeByte},
      {"the EBML header alone", Slice(webm, 0, headerEnd)},
      {"a header with no segment behind it", Join({Slice(webm, 0, headerEnd), Filler(64)})},
      {"no track list", noTracks},
      {"no cluster", Slice(live, 0, liveClusters[0])},
      {"a cluster before the track list", clusterFirst},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectThoroughWritesNothing({Kind::Mkv}, Join({Filler(13), c.data, Filler(40)}));
  }
}

TEST(MkvThorough, CutBehindTheLastWholeTopLevelElement) {
  const struct {
    const char* name;
    bool openClusters;
  } files[] = {{"mkv/testsrc.webm", false}, {"mkv/live.webm", false}, {"mkv/live.webm", true}};
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    const Bytes original = ReadTestData(f.name);
    const Bytes file = f.openClusters ? WithOpenClusters(f.name) : original;
    const std::vector<std::size_t> clusters = Clusters(file);
    ASSERT_EQ(clusters.size(), 3u);
    const std::pair<std::size_t, std::size_t> cuts[] = {
        {clusters[2] + 100, clusters[2]},  // inside the third cluster's frames
        {clusters[2] + 3, clusters[2]},    // inside its ID
    };
    for (const auto& [length, kept] : cuts) {
      ScanRun run;
      ScanThorough(run, {Kind::Mkv}, Join({Filler(5), Slice(file, 0, length)}));
      ASSERT_EQ(run.host.outputs.size(), 1u) << length;
      EXPECT_TRUE(run.host.outputs[0].cut);
      EXPECT_EQ(run.Output(0), Slice(file, 0, kept)) << length;
    }
    // Cut within the first cluster: no whole one is left.
    ExpectThoroughWritesNothing({Kind::Mkv}, Slice(file, 0, clusters[0] + 40));
  }
}

// A damaged cluster ID inside a Segment of known size cuts it behind the cluster before; the
// next file comes out whole.
TEST(MkvThorough, DamagedClusterCutsTheSegmentAndTheNextFileIsFound) {
  const Bytes webm = ReadTestData("mkv/testsrc.webm");
  const Bytes next = ReadTestData("mkv/live.webm");
  const std::vector<std::size_t> clusters = Clusters(webm);
  Bytes broken = webm;
  broken[clusters[1] + 1] = 0x44;
  ExpectThoroughCutThenWhole(Kind::Mkv, broken, Slice(webm, 0, clusters[1]), next);
}

}  // namespace
}  // namespace sorvend::test
