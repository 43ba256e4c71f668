// Unpacking: media inside archives and compressed streams made by the real tools come out
// bit-exact with the path through their containers; damage, cuts, nesting and bombs end as
// they should, with every limit named and nothing behind a container lost.
#include "engine/unpack.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/containers/containers.h"
#include "engine/measure.h"
#include "engine/scan.h"
#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

void ScanUnpacking(ScanRun& run, Unpacker& unpacker, std::initializer_list<Kind> kinds,
                   const Bytes& data) {
  run.ctx.unpacker = &unpacker;
  ScanThorough(run, kinds, data);
}

struct Expected {
  const char* sample;  // under tests/data, the bytes the output must hold
  const char* ext;
  std::vector<ContainerRef> within;  // offsets relative to where the archive is put
};

struct ArchiveCase {
  const char* archive;  // under tests/data/archives
  std::vector<Expected> outputs;
};

const Kind kMedia[] = {Kind::Png, Kind::Wav, Kind::Jpg};

TEST(Unpack, MediaInsideContainersComeOutBitExact) {
  const std::vector<ArchiveCase> cases = {
      {"media.zip",
       {{"png/gradient.png", ".PNG", {{"zip", 0, "gradient.png"}}},
        {"riff/lavf.wav", ".WAV", {{"zip", 0, "lavf.wav"}}},
        {"jpeg/grey.jpg", ".JPG", {{"zip", 0, "grey.jpg"}}}}},
      {"stored.zip",
       {{"png/gradient.png", ".PNG", {{"zip", 0, "gradient.png"}}},
        {"riff/lavf.wav", ".WAV", {{"zip", 0, "lavf.wav"}}}}},
      {"bzip2.zip",
       {{"riff/lavf.wav", ".WAV", {{"zip", 0, "lavf.wav"}}},
        {"png/gradient.png", ".PNG", {{"zip", 0, "gradient.png"}}}}},
      {"lzma.zip",
       {{"png/gradient.png", ".PNG", {{"zip", 0, "gradient.png"}}},
        {"riff/lavf.wav", ".WAV", {{"zip", 0, "lavf.wav"}}}}},
      {"descriptor.zip",
       {{"png/gradient.png", ".PNG", {{"zip", 0, "gradient.png"}}},
        {"riff/lavf.wav", ".WAV", {{"zip", 0, "lavf.wav"}}}}},
      {"zip64.zip",
       {{"riff/lavf.wav", ".WAV", {{"zip", 0, "lavf.wav"}}},
        {"png/gradient.png", ".PNG", {{"zip", 0, "gradient.png"}}}}},
      {"lavf.wav.gz", {{"riff/lavf.wav", ".WAV", {{"gzip", 0, "lavf.wav"}}}}},
      {"lavf.wav.xz", {{"riff/lavf.wav", ".WAV", {{"xz", 0, ""}}}}},
      {"lavf.wav.zst", {{"riff/lavf.wav", ".WAV", {{"zstd", 0, ""}}}}},
      {"lavf.wav.lz4", {{"riff/lavf.wav", ".WAV", {{"lz4", 0, ""}}}}},
      {"gradient.png.bz2", {{"png/gradient.png", ".PNG", {{"bzip2", 0, ""}}}}},
      {"nested.zip",
       {{"png/gradient.png",
         ".PNG",
         {{"zip", 0, "inner.zip.gz"}, {"gzip", 0, "inner.zip"}, {"zip", 0, "gradient.png"}}}}},
      {"media.7z",
       {{"png/gradient.png", ".PNG", {{"7z", 0, "gradient.png"}}},
        {"riff/lavf.wav", ".WAV", {{"7z", 0, "lavf.wav"}}}}},
      {"plain-header.7z",
       {{"png/gradient.png", ".PNG", {{"7z", 0, "gradient.png"}}},
        {"riff/lavf.wav", ".WAV", {{"7z", 0, "lavf.wav"}}}}},
      {"media.cab",
       {{"png/gradient.png", ".PNG", {{"cab", 0, "gradient.png"}}},
        {"riff/lavf.wav", ".WAV", {{"cab", 0, "lavf.wav"}}}}},
      {"media.lzh",
       {{"png/gradient.png", ".PNG", {{"lzh", 0, "gradient.png"}}},
        {"riff/lavf.wav", ".WAV", {{"lzh", 0, "lavf.wav"}}}}},
      {"pack.bin",
       {{"png/gradient.png", ".PNG", {{"zlib", 16, ""}}},
        {"riff/lavf.wav", ".WAV", {{"zlib", 509, ""}}}}},
  };
  for (const ArchiveCase& c : cases) {
    SCOPED_TRACE(c.archive);
    const Bytes before = Filler(333, 3);
    Unpacker unpacker;
    ScanRun run;
    ScanUnpacking(
        run, unpacker, {Kind::Png, Kind::Wav, Kind::Jpg},
        Join({before, ReadTestData(std::string("archives/") + c.archive), Filler(50, 4)}));
    ASSERT_EQ(run.host.outputs.size(), c.outputs.size());
    for (std::size_t i = 0; i < c.outputs.size(); ++i) {
      const Expected& want = c.outputs[i];
      const OutputRecord& out = run.host.outputs[i];
      SCOPED_TRACE(want.sample);
      EXPECT_EQ(out.name, run.dir.File("ANT000" + std::to_string(i) + want.ext));
      EXPECT_EQ(out.offset, 0);  // every sample is an entry or a stream of its own
      EXPECT_FALSE(out.cut);
      std::vector<ContainerRef> within = want.within;
      within.front().offset += static_cast<std::int64_t>(before.size());
      EXPECT_EQ(out.within, within);
      EXPECT_EQ(run.Output(i), ReadTestData(want.sample));
    }
    EXPECT_TRUE(run.host.log.empty());
  }
}

TEST(Unpack, OffLeavesCompressedMediaAlone) {
  ScanRun run;
  ScanThorough(run, {Kind::Png, Kind::Wav, Kind::Jpg}, ReadTestData("archives/lavf.wav.gz"));
  EXPECT_TRUE(run.host.outputs.empty());
  // Stored entries are found where they lie in the input, without a container.
  ScanRun stored;
  ScanThorough(stored, {Kind::Png, Kind::Wav}, ReadTestData("archives/stored.zip"));
  ASSERT_EQ(stored.host.outputs.size(), 2u);
  EXPECT_TRUE(stored.host.outputs[0].within.empty());
}

// media.zip's entries: gradient.png, lavf.wav and grey.jpg, each behind its local header.
std::size_t EntryData(const Bytes& zip, const std::string& name) {
  return FindText(zip, name) + name.size();
}

TEST(Unpack, DamageAndCutsHideNothingElse) {
  const Bytes zip = ReadTestData("archives/media.zip");
  const std::size_t wav = EntryData(zip, "lavf.wav");
  const std::size_t jpg = EntryData(zip, "grey.jpg");
  Bytes corrupt = zip;
  for (std::size_t i = wav + 200; i < wav + 260; ++i) corrupt[i] ^= 0x5A;
  Bytes badSizes = zip;  // the WAV entry's compressed size points into the middle of nowhere
  SetLe32(badSizes, wav - 8 - 30 + 18, 7);
  const struct {
    const char* what;
    Bytes data;
    std::vector<std::string> samples;  // what comes out whole
  } cases[] = {
      {"corrupt deflate in the middle of an entry", corrupt, {"png/gradient.png", "jpeg/grey.jpg"}},
      {"an entry's size damaged", badSizes, {"png/gradient.png", "jpeg/grey.jpg"}},
      {"cut in the last entry", Slice(zip, 0, jpg + 100), {"png/gradient.png", "riff/lavf.wav"}},
      {"cut in a header", Slice(zip, 0, jpg - 12), {"png/gradient.png", "riff/lavf.wav"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Unpacker unpacker;
    ScanRun run;
    ScanUnpacking(run, unpacker, {Kind::Png, Kind::Wav, Kind::Jpg}, c.data);
    std::vector<Bytes> whole;
    for (std::size_t i = 0; i < run.host.outputs.size(); ++i) {
      if (!run.host.outputs[i].cut) whole.push_back(run.Output(i));
    }
    for (const std::string& sample : c.samples) {
      EXPECT_NE(std::find(whole.begin(), whole.end(), ReadTestData(sample)), whole.end()) << sample;
    }
  }
}

TEST(Unpack, TheWalkGoesOnBehindTheContainer) {
  const Bytes png = ReadTestData("png/gradient.png");
  for (const char* archive :
       {"media.zip", "lavf.wav.gz", "lavf.wav.xz", "lavf.wav.zst", "lavf.wav.lz4",
        "gradient.png.bz2", "pack.bin", "media.7z", "media.cab", "media.lzh"}) {
    SCOPED_TRACE(archive);
    const Bytes container = ReadTestData(std::string("archives/") + archive);
    Unpacker unpacker;
    ScanRun run;
    ScanUnpacking(run, unpacker, {Kind::Png, Kind::Wav, Kind::Jpg},
                  Join({Filler(7), container, png, Filler(9)}));
    ASSERT_FALSE(run.host.outputs.empty());
    const OutputRecord& last = run.host.outputs.back();
    EXPECT_TRUE(last.within.empty());
    EXPECT_EQ(last.offset, static_cast<std::int64_t>(7 + container.size()));
    EXPECT_EQ(run.Output(run.host.outputs.size() - 1), png);
  }
}

// Archives read by the library: cut or damaged, they give what they can and hide nothing
// behind them.
TEST(Unpack, CutOrDamagedLibraryArchivesHideNothingBehind) {
  const Bytes png = ReadTestData("png/gradient.png");
  for (const char* archive : {"media.7z", "media.cab", "media.lzh"}) {
    const Bytes whole = ReadTestData(std::string("archives/") + archive);
    Bytes damaged = whole;
    for (std::size_t i = whole.size() / 3; i < whole.size() / 3 + 40; ++i) damaged[i] ^= 0xA5;
    for (const Bytes& data : {Slice(whole, 0, whole.size() / 2), damaged}) {
      SCOPED_TRACE(archive);
      Unpacker unpacker;
      ScanRun run;
      ScanUnpacking(run, unpacker, {Kind::Png, Kind::Wav}, Join({data, Filler(3), png}));
      ASSERT_FALSE(run.host.outputs.empty());
      EXPECT_TRUE(run.host.outputs.back().within.empty());
      EXPECT_EQ(run.host.outputs.back().offset, static_cast<std::int64_t>(data.size() + 3));
      EXPECT_EQ(run.Output(run.host.outputs.size() - 1), png);
    }
  }
}

TEST(Unpack, ZlibScreenRefusesOnlyWhatInflateRefuses) {
  const struct {
    const char* what;
    Bytes bytes;
    bool passes;
  } cases[] = {
      {"fixed codes", {0x78, 0x9C, 0x03, 0x00}, true},
      {"stored block", {0x78, 0x01, 0x01, 0x05, 0x00, 0xFA, 0xFF}, true},
      {"stored length without its complement", {0x78, 0x01, 0x01, 0x05, 0x00, 0xFA, 0xFE}, false},
      {"reserved block type", {0x78, 0xDA, 0x07, 0x00}, false},
      {"dynamic codes", {0x78, 0x5E, 0xED, 0x1D}, true},
      {"dynamic: 287 literal codes", {0x78, 0x5E, 0xF5, 0x1D}, false},
      {"dynamic: 31 distance codes", {0x78, 0x5E, 0xED, 0x1E}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ScreenZlib(c.bytes.data(), c.bytes.size(), 100), c.passes);
  }
}

// A gzip member's header, then `deflate` where its data begins.
Bytes GzipMember(std::uint8_t flags, const Bytes& fields, const Bytes& deflate) {
  Bytes m = {0x1F, 0x8B, 0x08, flags, 0, 0, 0, 0, 0, 3};
  Append(m, fields);
  Append(m, deflate);
  return m;
}

TEST(Unpack, GzipScreenLooksBehindTheHeaderFields) {
  const Bytes fixed = {0x03, 0x00};  // an empty fixed-code block
  const Bytes badStored = {0x00, 0x05, 0x00, 0xFA, 0xFE};
  Bytes longName(5000, 'a');
  longName.push_back(0);
  const struct {
    const char* what;
    Bytes bytes;
    bool passes;
  } cases[] = {
      {"no fields, fixed codes", GzipMember(0, {}, fixed), true},
      {"no fields, reserved block type", GzipMember(0, {}, {0x07, 0x00}), false},
      {"no fields, stored length without its complement", GzipMember(0, {}, badStored), false},
      {"a name, then fixed codes", GzipMember(0x08, {'a', '.', 'w', 'a', 'v', 0}, fixed), true},
      {"a name, then the reserved block type", GzipMember(0x08, {'a', 0}, {0x07, 0x00}), false},
      {"a name longer than a file system allows", GzipMember(0x08, longName, fixed), false},
      {"an extra field and a comment", GzipMember(0x14, {2, 0, 'x', 'y', 'c', 0}, fixed), true},
      {"a header CRC before reserved codes", GzipMember(0x02, {0x12, 0x34}, {0x07}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ScreenGzip(c.bytes.data(), c.bytes.size(), 100000), c.passes);
  }
  // The real tool's member passes.
  const Bytes gz = ReadTestData("archives/lavf.wav.gz");
  EXPECT_TRUE(ScreenGzip(gz.data(), gz.size(), static_cast<std::int64_t>(gz.size())));
}

// Machine code is full of 78 9C and its kind: such bytes open nothing and hide nothing.
// A local header signature in other bytes (a program's message about bad headers, a constant in
// machine code) with sizes that reach far beyond the input: the scan goes on right behind its
// header, and the picture behind it comes out once, where it lies.
TEST(Unpack, LookAlikeLocalHeaderHidesNothing) {
  const Bytes png = ReadTestData("png/gradient.png");
  const struct {
    const char* what;
    std::uint16_t version, flags, method;
    std::uint32_t compressed, uncompressed;
  } cases[] = {
      {"deflate, text for sizes", 20, 0, 8, 0x7264616C, 0x61746164},
      {"an unknown method", 20, 0, 0x7A17, 0x7264616C, 0x61746164},
      {"stored, the two sizes differ", 20, 0, 0, 0x7264616C, 0x61746164},
      {"stored, a version that does not exist", 200, 0, 0, 0x7264616C, 0x7264616C},
      {"stored, flags no writer sets", 10, 0x0990, 0, 0x7264616C, 0x7264616C},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes fake;
    AppendText(fake, "PK\x03\x04");
    AppendLe16(fake, c.version);
    AppendLe16(fake, c.flags);
    AppendLe16(fake, c.method);
    AppendLe32(fake, 0);           // time and date
    AppendLe32(fake, 0x12345678);  // crc
    AppendLe32(fake, c.compressed);
    AppendLe32(fake, c.uncompressed);
    AppendLe16(fake, 4);  // name length
    AppendLe16(fake, 0);  // extra length
    AppendText(fake, "data: bad local file header");
    Unpacker unpacker;
    ScanRun run;
    ScanUnpacking(run, unpacker, {Kind::Png}, Join({Filler(11), fake, Filler(300), png}));
    ASSERT_EQ(run.host.outputs.size(), 1u);
    EXPECT_EQ(run.host.outputs[0].offset, static_cast<std::int64_t>(11 + fake.size() + 300));
    EXPECT_TRUE(run.host.outputs[0].within.empty());
  }
}

// Data tables hold 78 01 00 00 FF FF 00 00: a stored block of 65,280 bytes, then nothing a
// decoder takes. The picture in those bytes comes out once, where it lies.
TEST(Unpack, StoredBlockLookAlikeGivesNothingTwice) {
  const Bytes png = ReadTestData("png/gradient.png");
  Bytes data = Filler(7);
  const Bytes header = {0x78, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0x00};
  Append(data, header);
  Append(data, Filler(100));
  Append(data, png);
  data.resize(7 + header.size() + 0xFF00, 0);
  Append(data, Bytes(64, 0xFF));  // a reserved block type where the next block should start
  Unpacker unpacker;
  ScanRun run;
  ScanUnpacking(run, unpacker, {Kind::Png}, data);
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.host.outputs[0].offset, static_cast<std::int64_t>(7 + header.size() + 100));
  EXPECT_TRUE(run.host.outputs[0].within.empty());
}

TEST(Unpack, LookAlikeZlibHeadersHideNothing) {
  Bytes data;
  Lcg rng(5);
  for (int i = 0; i < 2000; ++i) {
    static const std::uint8_t kSecond[] = {0x01, 0x5E, 0x9C, 0xDA};
    data.push_back(0x78);
    data.push_back(kSecond[i % 4]);
    for (int k = 0; k < 6; ++k) data.push_back(static_cast<std::uint8_t>(rng()));
  }
  const Bytes png = ReadTestData("png/gradient.png");
  Append(data, png);
  Unpacker unpacker;
  ScanRun run;
  ScanUnpacking(run, unpacker, {Kind::Png}, data);
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.host.outputs[0].offset, 16000);
  EXPECT_TRUE(run.host.outputs[0].within.empty());
}

// ---- Bombs, built here and never kept under tests/data ----

// A gzip member of `gib64k` times 64 KiB of zeros, built from one flushed block repeated, so
// that gigabytes take a few megabytes and no time to make. Its trailer is not checked: a limit
// ends it first.
Bytes ZerosGzip(int pieces) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, 16 + 15, 9, Z_DEFAULT_STRATEGY);
  Bytes zeros(1 << 16), out(1 << 16);
  auto pump = [&](int flush, Bytes& into) {
    z.next_in = zeros.data();
    z.avail_in = flush == Z_FINISH ? 0 : static_cast<uInt>(zeros.size());
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      deflate(&z, flush);
      into.insert(into.end(), out.data(), out.data() + (out.size() - z.avail_out));
    } while (z.avail_out == 0);
  };
  Bytes head, piece, tail;
  pump(Z_FULL_FLUSH, head);   // the header and the first piece
  pump(Z_FULL_FLUSH, piece);  // a piece that stands on its own
  pump(Z_FINISH, tail);
  deflateEnd(&z);
  Bytes gz = head;
  for (int i = 1; i < pieces; ++i) Append(gz, piece);
  Append(gz, tail);
  return gz;
}

// A stored ZIP of one entry; `data` as it is.
Bytes StoredZip(const std::string& name, const Bytes& data) {
  Bytes z;
  AppendLe32(z, 0x04034B50);
  AppendLe16(z, 10), AppendLe16(z, 0), AppendLe16(z, 0), AppendLe32(z, 0);
  AppendLe32(z, crc32(0, data.data(), static_cast<uInt>(data.size())));
  AppendLe32(z, static_cast<std::uint32_t>(data.size()));
  AppendLe32(z, static_cast<std::uint32_t>(data.size()));
  AppendLe16(z, static_cast<std::uint16_t>(name.size())), AppendLe16(z, 0);
  AppendText(z, name);
  Append(z, data);
  return z;
}

bool LogHas(const RecordingHost& host, const std::string& text) {
  for (const std::string& line : host.log) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

// A 7z archive's coders are judged before the library allocates what they ask for (its header
// database read plain or unpacked), and an xz stream's by its decoder's memory limit: above the
// dictionary limit the container is refused, the limit is named, and what stands behind it is
// still found.
TEST(Unpack, ContainersAskingForTooLargeADictionaryAreRefused) {
  const Bytes png = ReadTestData("png/gradient.png");
  const struct {
    const char* archive;
    std::size_t inside;  // outputs from inside under the default limit
    const char* line;
  } cases[] = {
      {"media.7z", 2, "dictionary limit reached at 7z@0x15"},
      {"plain-header.7z", 2, "dictionary limit reached at 7z@0x15"},
      {"lavf.wav.xz", 1, "dictionary limit reached at xz@0x15"},  // xz -9: 64 MiB
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.archive);
    const Bytes data =
        Join({Filler(21), ReadTestData(std::string("archives/") + c.archive), Filler(40, 2), png});
    for (const std::uint64_t dictionary : {std::uint64_t{256} << 20, std::uint64_t{1024}}) {
      SCOPED_TRACE(dictionary);
      UnpackLimits limits;
      limits.dictionaryBytes = dictionary;
      Unpacker unpacker(limits);
      ScanRun run;
      ScanUnpacking(run, unpacker, {Kind::Png, Kind::Wav}, data);
      const bool refused = dictionary < 4096;
      ASSERT_EQ(run.host.outputs.size(), 1 + (refused ? 0 : c.inside));
      EXPECT_TRUE(run.host.outputs.back().within.empty());  // the picture behind the container
      EXPECT_EQ(run.host.outputs.back().offset,
                static_cast<std::int64_t>(data.size() - png.size()));
      ASSERT_EQ(run.host.log.size(), refused ? 1u : 0u);
      if (refused) EXPECT_TRUE(LogHas(run.host, c.line)) << run.host.log[0];
    }
  }
}

// Every byte of a 7z header database changed in turn, its checksums made right again so that
// the reading gets to it: the scan never fails, and the picture behind the archive comes out.
TEST(Unpack, DamagedSevenZipHeadersAreReadSafely) {
  const Bytes png = ReadTestData("png/gradient.png");
  for (const char* archive : {"media.7z", "plain-header.7z"}) {
    SCOPED_TRACE(archive);
    const Bytes original = ReadTestData(std::string("archives/") + archive);
    const std::size_t header = 32 + GetLe32(original.data() + 12);
    for (std::size_t at = header; at < original.size(); ++at) {
      SCOPED_TRACE(at);
      Bytes damaged = original;
      damaged[at] ^= 0xFF;
      SetLe32(damaged, 28,
              crc32(0, damaged.data() + header, static_cast<uInt>(damaged.size() - header)));
      SetLe32(damaged, 8, crc32(0, damaged.data() + 12, 20));
      Unpacker unpacker;
      ScanRun run;
      ScanUnpacking(run, unpacker, {Kind::Png, Kind::Wav}, Join({damaged, Filler(40, 2), png}));
      ASSERT_FALSE(run.host.outputs.empty());
      EXPECT_TRUE(run.host.outputs.back().within.empty());
      EXPECT_EQ(run.host.outputs.back().offset, static_cast<std::int64_t>(damaged.size() + 40));
    }
  }
}

TEST(Unpack, BombsEndAtTheirLimitsAndTheScanGoesOn) {
  const Bytes png = ReadTestData("png/gradient.png");
  Bytes deep = png;
  for (int level = 0; level < 12; ++level) deep = StoredZip("d" + std::to_string(level), deep);
  // 42.zip's way: 16 archives in each archive, three levels down, each leaf 4 MiB of zeros.
  Bytes wide = ZerosGzip(64);
  for (int level = 0; level < 3; ++level) {
    Bytes archive;
    for (int i = 0; i < 16; ++i) Append(archive, StoredZip("w" + std::to_string(i), wide));
    wide = archive;
  }
  UnpackLimits small;
  small.streamBytes = 4 << 20;
  small.inputBytes = 32 << 20;
  UnpackLimits ratio;
  ratio.ratio = 100;
  const struct {
    const char* what;
    Bytes bomb;
    UnpackLimits limits;
    const char* line;
  } cases[] = {
      {"gigabytes of zeros", ZerosGzip(1 << 14), small, "decoded-size limit reached at gzip@0x7"},
      {"a ratio beyond the limit", ZerosGzip(256), ratio,
       "compression-ratio limit reached at gzip@0x7"},
      {"archives nested deeper than the limit", deep, {}, "depth limit reached at zip@0x7"},
      {"archives of archives", wide, small, "decoded-size limit of the input reached at zip@0x7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Unpacker unpacker(c.limits);
    ScanRun run;
    ScanUnpacking(run, unpacker, {Kind::Png}, Join({Filler(7), c.bomb, png}));
    EXPECT_TRUE(LogHas(run.host, c.line)) << (run.host.log.empty() ? "" : run.host.log[0]);
    EXPECT_LE(unpacker.decodedThisInput, c.limits.inputBytes);
    ASSERT_FALSE(run.host.outputs.empty());
    EXPECT_EQ(run.Output(run.host.outputs.size() - 1), png);
    EXPECT_TRUE(run.host.outputs.back().within.empty());
  }
}

// Entries that overlap: a central directory that names one local entry a thousand times. The
// walk follows the local headers, so the shared body is decoded once.
TEST(Unpack, OverlappingEntriesAreDecodedOnce) {
  const Bytes png = ReadTestData("png/gradient.png");
  Bytes zip = StoredZip("a.png", png);
  const std::size_t directory = zip.size();
  for (int i = 0; i < 1000; ++i) {
    AppendLe32(zip, 0x02014B50);
    for (int k = 0; k < 6; ++k) AppendLe16(zip, k == 5 ? 0 : 10);
    for (int k = 0; k < 3; ++k) AppendLe32(zip, 0);
    AppendLe16(zip, 5), AppendLe16(zip, 0), AppendLe16(zip, 0), AppendLe16(zip, 0);
    AppendLe16(zip, 0), AppendLe32(zip, 0), AppendLe32(zip, 0);  // the local header at 0
    AppendText(zip, "a.png");
  }
  AppendLe32(zip, 0x06054B50);
  AppendLe32(zip, 0), AppendLe16(zip, 1000), AppendLe16(zip, 1000);
  AppendLe32(zip, static_cast<std::uint32_t>(zip.size() - 12 - directory));
  AppendLe32(zip, static_cast<std::uint32_t>(directory)), AppendLe16(zip, 0);
  Unpacker unpacker;
  ScanRun run;
  ScanUnpacking(run, unpacker, {Kind::Png}, Join({zip, png}));
  ASSERT_EQ(run.host.outputs.size(), 2u);
  EXPECT_EQ(run.host.outputs[0].within.size(), 1u);
  EXPECT_EQ(unpacker.decodedThisInput, static_cast<std::int64_t>(png.size()));
  // The second is the PNG behind the archive, found where it lies.
  EXPECT_EQ(run.host.outputs[1].offset, static_cast<std::int64_t>(zip.size()));
}

// Decoded bytes beyond what memory keeps go to a file that never has a name.
TEST(Unpack, SpilledBytesLeaveNoFileBehind) {
  ScanRun run;  // its folder is made before TMPDIR points elsewhere
  ScratchDir tmp;
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", tmp.path().c_str(), 1);
  UnpackLimits limits;
  limits.memoryBytes = 100;
  Unpacker unpacker(limits);
  bool emptyDuringTheScan = true;
  run.host.interval = 64;
  run.host.onKeepResponsive = [&] { emptyDuringTheScan &= std::filesystem::is_empty(tmp.path()); };
  ScanUnpacking(run, unpacker, {Kind::Png, Kind::Wav}, ReadTestData("archives/nested.zip"));
  if (old)
    setenv("TMPDIR", saved.c_str(), 1);
  else
    unsetenv("TMPDIR");
  ASSERT_EQ(run.host.outputs.size(), 1u);
  EXPECT_EQ(run.Output(0), ReadTestData("png/gradient.png"));
  EXPECT_TRUE(emptyDuringTheScan);
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

// Closing the window during a long decode stops it at the next KeepResponsive.
TEST(Unpack, StopDuringADecodeEndsAtOnce) {
  UnpackLimits limits;
  limits.streamBytes = std::int64_t{1} << 40;
  limits.inputBytes = std::int64_t{1} << 40;
  limits.ratio = 1 << 20;
  Unpacker unpacker(limits);
  ScanRun run;
  int calls = 0;
  run.host.interval = 1 << 16;
  run.host.onKeepResponsive = [&] {
    if (++calls == 20) CloseStreams(run.ctx);
  };
  ScanUnpacking(run, unpacker, {Kind::Png},
                Join({ZerosGzip(1 << 15), ReadTestData("png/gradient.png")}));
  EXPECT_EQ(calls, 20);
  EXPECT_TRUE(run.host.outputs.empty());
  // Not one more decoded piece than the calls let through.
  EXPECT_LT(unpacker.decodedThisInput, std::int64_t{64} << 20);
}

}  // namespace
}  // namespace sorvend::test
