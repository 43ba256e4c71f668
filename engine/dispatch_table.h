// Which carver the scan loop calls at which lead byte, one table per profile.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "engine/containers/containers.h"
#include "engine/formats/formats.h"
#include "engine/measure.h"

namespace sorvend {

// The bytes a signature accepts at one position.
struct ByteSet {
  std::array<std::uint64_t, 4> words{};
  constexpr bool Has(std::uint8_t byte) const { return (words[byte >> 6] >> (byte & 63) & 1) != 0; }
};

// The bytes b for which accepts(b) holds.
template <class Predicate>
constexpr ByteSet BytesWhere(Predicate accepts) {
  ByteSet set;
  for (int b = 0; b < 256; ++b) {
    if (accepts(static_cast<std::uint8_t>(b))) set.words[b >> 6] |= std::uint64_t{1} << (b & 63);
  }
  return set;
}
// The bytes with (byte & mask) == value.
constexpr ByteSet Masked(std::uint8_t mask, std::uint8_t value) {
  return BytesWhere([=](std::uint8_t b) { return (b & mask) == value; });
}
constexpr ByteSet Only(std::uint8_t byte) {
  return Masked(0xFF, byte);
}
constexpr ByteSet operator|(const ByteSet& a, const ByteSet& b) {
  return BytesWhere([&](std::uint8_t x) { return a.Has(x) || b.Has(x); });
}
inline constexpr ByteSet kAnyByte = Masked(0x00, 0x00);

// The first bytes of every object a carver can take: the lead byte and the three after it. The
// scan loop skips every position whose bytes fit no entry without calling a carver, which
// would reject them; so these must never exclude bytes the carver accepts.
struct Signature {
  std::uint8_t lead;
  ByteSet next;
  ByteSet third = kAnyByte;
  ByteSet fourth = kAnyByte;

  // p holds the lead byte and the three after it.
  constexpr bool FitsAt(const std::uint8_t* p) const {
    return p[0] == lead && next.Has(p[1]) && third.Has(p[2]) && fourth.Has(p[3]);
  }
};

struct DispatchEntry {
  Signature signature;
  // The switch the scan loop tests; none means the carver is called at every lead byte and
  // tests its switches itself.
  std::optional<Kind> kind;
  CarverEntry extract;
};

struct MeasureDispatchEntry {
  Signature signature;
  std::optional<Kind> kind;
  MeasureEntry measure;
  // A first look at bytes already in memory, for signatures that ordinary data fits often.
  MeasureScreen screen = nullptr;
  // A container (an archive or a compressed stream) instead of a kind: `measure` is none, and
  // the scan calls this when unpacking is on.
  UnpackEntry unpack = nullptr;
};

// Entries for the same lead byte are tried in table order until one takes the byte.
inline constexpr std::array kDispatchTable = {
    DispatchEntry{{0x28, Only(0x00)}, Kind::Bmp, ExtractDib},    // 40, LE
    DispatchEntry{{'G', Only('I')}, Kind::Gif, ExtractGif},      // "GIF8"
    DispatchEntry{{'O', Only('g')}, Kind::Ogg, ExtractOgg},      // "OggS"
    DispatchEntry{{'R', Only('I')}, std::nullopt, ExtractRiff},  // "RIFF"
    DispatchEntry{{'m', Only('d')}, Kind::Mov, ExtractMov},      // "mdat"
    DispatchEntry{{0x89, Only('P')}, Kind::Png, ExtractPng},     // 0x89 "PNG"
    DispatchEntry{{0xFF, Only(0xD8)}, Kind::Jpg, ExtractJpeg},   // SOI
    // MPEG audio sync: the rest of the 12 sync bits, then Layer III (01) or Layer II (10).
    DispatchEntry{{0xFF, Masked(0xF6, 0xF2) | Masked(0xF6, 0xF4)}, Kind::Mp3, ExtractMp3},
};

// The thorough profile's table. A signature of four fixed bytes keeps the candidate search
// fast however common its lead byte is.
inline constexpr std::array kMeasureTable = {
    // Bitmaps, icons and textures.
    // Information header sizes 40, 56, 108 and 124, little-endian.
    MeasureDispatchEntry{
        {0x28, Only(0x00), Only(0x00), Only(0x00)}, Kind::Bmp, MeasureDib, ScreenDib},
    MeasureDispatchEntry{
        {0x38, Only(0x00), Only(0x00), Only(0x00)}, Kind::Bmp, MeasureDib, ScreenDib},
    MeasureDispatchEntry{
        {0x6C, Only(0x00), Only(0x00), Only(0x00)}, Kind::Bmp, MeasureDib, ScreenDib},
    MeasureDispatchEntry{
        {0x7C, Only(0x00), Only(0x00), Only(0x00)}, Kind::Bmp, MeasureDib, ScreenDib},
    // Icons (00 00 01 00) and cursors (00 00 02 00).
    MeasureDispatchEntry{
        {0x00, Only(0x00), Only(0x01), Only(0x00)}, Kind::Ico, MeasureIco, ScreenIco},
    MeasureDispatchEntry{
        {0x00, Only(0x00), Only(0x02), Only(0x00)}, Kind::Ico, MeasureIco, ScreenIco},
    MeasureDispatchEntry{{'D', Only('D'), Only('S'), Only(' ')}, Kind::Dds, MeasureDds},  // "DDS "

    // JPEG, GIF and TIFF.
    // SOI, then the first marker: a segment that may open an image (a frame header, tables,
    // APPn, a comment, a restart interval, or a scan), or a fill byte before one. Not a second
    // SOI, EOI, a restart marker or a reserved code.
    MeasureDispatchEntry{{0xFF, Only(0xD8), Only(0xFF), BytesWhere([](std::uint8_t b) {
                            return (b >= 0xC0 && b <= 0xCF && b != 0xC8) || b == 0xDA ||
                                   b == 0xDB || b == 0xDD || (b >= 0xE0 && b <= 0xEF) || b >= 0xFE;
                          })},
                         Kind::Jpg,
                         MeasureJpeg},
    MeasureDispatchEntry{{'G', Only('I'), Only('F'), Only('8')}, Kind::Gif, MeasureGif},  // "GIF8"
    MeasureDispatchEntry{{'I', Only('I'), Only('*'), Only(0x00)},
                         Kind::Tif,
                         MeasureTiff,
                         ScreenTiff},  // "II*\0", little-endian
    MeasureDispatchEntry{{'M', Only('M'), Only(0x00), Only('*')},
                         Kind::Tif,
                         MeasureTiff,
                         ScreenTiff},  // "MM\0*", big-endian

    // PNG.
    MeasureDispatchEntry{
        {0x89, Only('P'), Only('N'), Only('G')}, Kind::Png, MeasurePng},  // 0x89 "PNG"

    // RIFF forms, AIFF, MIDI, VOC and AU.
    // "RIFF": the AVI, WAVE, ACON, RMID and WEBP forms, each checking its own kind.
    MeasureDispatchEntry{{'R', Only('I'), Only('F'), Only('F')}, std::nullopt, MeasureRiff},
    // "FORM" of AIFF and AIFF-C, "MThd", "Crea" of "Creative Voice File", ".snd".
    MeasureDispatchEntry{{'F', Only('O'), Only('R'), Only('M')}, Kind::Aiff, MeasureAiff},
    MeasureDispatchEntry{{'M', Only('T'), Only('h'), Only('d')}, Kind::Mid, MeasureMidi},
    MeasureDispatchEntry{{'C', Only('r'), Only('e'), Only('a')}, Kind::Voc, MeasureVoc},
    MeasureDispatchEntry{{'.', Only('s'), Only('n'), Only('d')}, Kind::Au, MeasureAu},

    // MPEG audio, AAC, FLAC and Ogg.
    // MPEG audio: the rest of the 11 sync bits, a version and a layer that are not reserved;
    // a bitrate that is neither free nor the forbidden 1111, a known sampling frequency; an
    // emphasis that is not reserved. The screen looks for the next frame.
    MeasureDispatchEntry{{0xFF, BytesWhere([](std::uint8_t b) {
                            return (b & 0xE0) == 0xE0 && (b >> 3 & 3) != 1 && (b >> 1 & 3) != 0;
                          }),
                          BytesWhere([](std::uint8_t b) {
                            return (b >> 4) != 0 && (b >> 4) != 15 && (b >> 2 & 3) != 3;
                          }),
                          BytesWhere([](std::uint8_t b) { return (b & 3) != 2; })},
                         Kind::Mp3,
                         MeasureMpegAudio,
                         ScreenMpegAudio},
    // "ID3" and a major version from 2 to 4, in front of whichever audio stream follows.
    MeasureDispatchEntry{
        {'I', Only('D'), Only('3'), Masked(0xF8, 0x00)}, std::nullopt, MeasureTaggedAudio},
    // ADTS sync: the rest of the 12 sync bits, either MPEG version, layer 00, either protection.
    MeasureDispatchEntry{
        {0xFF, Masked(0xF6, 0xF0), BytesWhere([](std::uint8_t b) { return (b >> 2 & 0xF) < 13; })},
        Kind::Aac,
        MeasureAac,
        ScreenAac},
    MeasureDispatchEntry{
        {'f', Only('L'), Only('a'), Only('C')}, Kind::Flac, MeasureFlac},                 // "fLaC"
    MeasureDispatchEntry{{'O', Only('g'), Only('g'), Only('S')}, Kind::Ogg, MeasureOgg},  // "OggS"

    // QuickTime and MP4, Matroska, FLV, ASF and SWF.
    // Movies: the type of a box a movie starts with ("ftyp", "moov", "mdat", "wide", "free",
    // "skip"); the box's size stands before it.
    MeasureDispatchEntry{{'f', Only('t'), Only('y'), Only('p')}, Kind::Mov, MeasureMov},
    MeasureDispatchEntry{{'m', Only('o'), Only('o'), Only('v')}, Kind::Mov, MeasureMov},
    MeasureDispatchEntry{{'m', Only('d'), Only('a'), Only('t')}, Kind::Mov, MeasureMov},
    MeasureDispatchEntry{{'w', Only('i'), Only('d'), Only('e')}, Kind::Mov, MeasureMov},
    MeasureDispatchEntry{{'f', Only('r'), Only('e'), Only('e')}, Kind::Mov, MeasureMov},
    MeasureDispatchEntry{{'s', Only('k'), Only('i'), Only('p')}, Kind::Mov, MeasureMov},
    // Matroska and WebM: the EBML header's ID.
    MeasureDispatchEntry{{0x1A, Only(0x45), Only(0xDF), Only(0xA3)}, Kind::Mkv, MeasureMkv},
    // Flash Video: "FLV", version 1.
    MeasureDispatchEntry{{'F', Only('L'), Only('V'), Only(0x01)}, Kind::Flv, MeasureFlv},
    // Windows Media audio and video: the header object's GUID; the carver picks the kind.
    MeasureDispatchEntry{{0x30, Only(0x26), Only(0xB2), Only(0x75)}, std::nullopt, MeasureAsf},
    // Flash movies: "FWS", "CWS" or "ZWS" and a version below 64.
    MeasureDispatchEntry{{'F', Only('W'), Only('S'), Masked(0xC0, 0x00)}, Kind::Swf, MeasureSwf},
    MeasureDispatchEntry{{'C', Only('W'), Only('S'), Masked(0xC0, 0x00)}, Kind::Swf, MeasureSwf},
    MeasureDispatchEntry{{'Z', Only('W'), Only('S'), Masked(0xC0, 0x00)}, Kind::Swf, MeasureSwf},

    // Game sound: WavPack, Musepack SV8, TTA, CRI ADX, CAF and raw AC-3.
    MeasureDispatchEntry{
        {'w', Only('v'), Only('p'), Only('k')}, Kind::Wv, MeasureWavPack, ScreenWavPack},
    MeasureDispatchEntry{
        {'M', Only('P'), Only('C'), Only('K')}, Kind::Mpc, MeasureMusepack, ScreenMusepack},
    MeasureDispatchEntry{{'T', Only('T'), Only('A'), Only('1')}, Kind::Tta, MeasureTta, ScreenTta},
    // ADX by the fixed fields 4 bytes into its header (the header's 0x80 0x00 is common in
    // machine code): encoding 3 or 4, 18-byte blocks, 4-bit samples, 1 to 8 channels.
    MeasureDispatchEntry{
        {0x03, Only(0x12), Only(0x04), BytesWhere([](std::uint8_t b) { return b >= 1 && b <= 8; })},
        Kind::Adx,
        MeasureAdx,
        ScreenAdx},
    MeasureDispatchEntry{
        {0x04, Only(0x12), Only(0x04), BytesWhere([](std::uint8_t b) { return b >= 1 && b <= 8; })},
        Kind::Adx,
        MeasureAdx,
        ScreenAdx},
    MeasureDispatchEntry{{'c', Only('a'), Only('f'), Only('f')}, Kind::Caf, MeasureCaf, ScreenCaf},
    // The sync word; the screen checks the rate and size codes and the next frame.
    MeasureDispatchEntry{{0x0B, Only(0x77)}, Kind::Ac3, MeasureAc3, ScreenAc3},

    // Game video: id RoQ, MPEG program and transport streams.
    // RoQ's signature chunk: id 0x1084 and the size 0xFFFFFFFF.
    MeasureDispatchEntry{
        {0x84, Only(0x10), Only(0xFF), Only(0xFF)}, Kind::Roq, MeasureRoq, ScreenRoq},
    MeasureDispatchEntry{
        {0x00, Only(0x00), Only(0x01), Only(0xBA)}, Kind::Mpg, MeasureMpegPs, ScreenMpegPs},
    // The packet that starts a program association table: the sync byte, the unit start flag,
    // packet id 0, a payload without scrambling. The screen looks for the next sync byte.
    MeasureDispatchEntry{{0x47, Masked(0xDF, 0x40), Only(0x00), Masked(0xD0, 0x10)},
                         Kind::Ts,
                         MeasureMpegTs,
                         ScreenMpegTs},

    // Tracker modules.
    MeasureDispatchEntry{
        {'E', Only('x'), Only('t'), Only('e')}, Kind::Xm, MeasureXm},  // "Extended Module: "
    MeasureDispatchEntry{{'I', Only('M'), Only('P'), Only('M')}, Kind::It, MeasureIt},  // "IMPM"
    // "SCRM", 44 bytes into the module.
    MeasureDispatchEntry{{'S', Only('C'), Only('R'), Only('M')}, Kind::S3m, MeasureS3m},
    // MOD tags, 1,080 bytes into the module: "M.K.", "M!K!", "M&K!"; "FLT4", "FLT8"; "OKTA";
    // "CD81". The digit tags are found by their letters, "2CHN" to "9CHN" and "xxCH", "xxCN",
    // with the first pattern byte (below 0x20) behind them, so that numbers in text are no
    // candidates.
    MeasureDispatchEntry{{'M', Only('.') | Masked(0xF8, 0x20), Only('K'), Masked(0xF0, 0x20)},
                         Kind::Mod,
                         MeasureMod},
    MeasureDispatchEntry{{'F', Only('L'), Only('T'), Masked(0xF3, 0x30)}, Kind::Mod, MeasureMod},
    MeasureDispatchEntry{{'O', Only('K'), Only('T'), Only('A')}, Kind::Mod, MeasureMod},
    MeasureDispatchEntry{{'C', Only('D'), Only('8'), Only('1')}, Kind::Mod, MeasureMod},
    MeasureDispatchEntry{{'C', Only('H'), Only('N'), Masked(0xE0, 0x00)}, Kind::Mod, MeasureModChn},
    MeasureDispatchEntry{{'C', Only('H') | Only('N'), Masked(0xE0, 0x00)}, Kind::Mod, MeasureModCh},

    // Containers, opened when unpacking is on: their decoded bytes are scanned like an input.
    // ZIP's local file header.
    MeasureDispatchEntry{{'P', Only('K'), Only(0x03), Only(0x04)}, {}, nullptr, nullptr, UnpackZip},
    // gzip: the magic, deflate, and flags whose reserved bits are clear.
    MeasureDispatchEntry{
        {0x1F, Only(0x8B), Only(0x08), Masked(0xE0, 0x00)}, {}, nullptr, ScreenGzip, UnpackGzip},
    // xz's magic: FD "7zXZ" 00.
    MeasureDispatchEntry{{0xFD, Only('7'), Only('z'), Only('X')}, {}, nullptr, nullptr, UnpackXz},
    // bzip2: "BZh" and a block size from 1 to 9 (x 100 kB).
    MeasureDispatchEntry{{'B', Only('Z'), Only('h'),
                          BytesWhere([](std::uint8_t b) { return b >= '1' && b <= '9'; })},
                         {},
                         nullptr,
                         nullptr,
                         UnpackBzip2},
    // zstd and LZ4 frames' magic numbers, little-endian.
    MeasureDispatchEntry{
        {0x28, Only(0xB5), Only(0x2F), Only(0xFD)}, {}, nullptr, nullptr, UnpackZstd},
    MeasureDispatchEntry{
        {0x04, Only(0x22), Only(0x4D), Only(0x18)}, {}, nullptr, nullptr, UnpackLz4},
    // A bare zlib stream: deflate with a 32 KiB window at any of the four levels (78 01, 78 5E,
    // 78 9C, 78 DA), then a first block whose type is not the reserved one.
    MeasureDispatchEntry{{0x78, Only(0x01) | Only(0x5E) | Only(0x9C) | Only(0xDA),
                          BytesWhere([](std::uint8_t b) { return (b >> 1 & 3) != 3; })},
                         {},
                         nullptr,
                         ScreenZlib,
                         UnpackZlib},
    // 7z's signature ("7z" BC AF 27 1C), a cabinet's "MSCF", and an LZH entry's method name
    // ("-lh0-" to "-lh7-", "-lhd-", "-lzs-", "-lz4-", "-lz5-"), 2 bytes into its header.
    MeasureDispatchEntry{{'7', Only('z'), Only(0xBC), Only(0xAF)}, {}, nullptr, nullptr, Unpack7z},
    MeasureDispatchEntry{{'M', Only('S'), Only('C'), Only('F')}, {}, nullptr, nullptr, UnpackCab},
    MeasureDispatchEntry{{'-', Only('l'), Only('h') | Only('z'), BytesWhere([](std::uint8_t b) {
                            return (b >= '0' && b <= '7') || b == 'd' || b == 's';
                          })},
                         {},
                         nullptr,
                         nullptr,
                         UnpackLzh},

    // More pictures.
    MeasureDispatchEntry{{'q', Only('o'), Only('i'), Only('f')}, Kind::Qoi, MeasureQoi},  // "qoif"
    MeasureDispatchEntry{
        {0x59, Only(0xA6), Only(0x6A), Only(0x95)}, Kind::Ras, MeasureSunRaster},  // Sun raster
    // SGI: magic 01 DA, raw or run-length storage, 1 or 2 bytes per channel.
    MeasureDispatchEntry{{0x01, Only(0xDA), Only(0x00) | Only(0x01), Only(0x01) | Only(0x02)},
                         Kind::Sgi,
                         MeasureSgi,
                         ScreenSgi},
    // PCX: 0x0A, version 0, 2, 3, 4 or 5, encoding 1, 1, 2, 4 or 8 bits a plane. No text has these
    // control bytes behind a line feed; the screen tests the rest of the header.
    MeasureDispatchEntry{
        {0x0A, BytesWhere([](std::uint8_t b) { return b == 0 || (b >= 2 && b <= 5); }), Only(0x01),
         BytesWhere([](std::uint8_t b) { return b == 1 || b == 2 || b == 4 || b == 8; })},
        Kind::Pcx,
        MeasurePcx,
        ScreenPcx},
    MeasureDispatchEntry{{'8', Only('B'), Only('P'), Only('S')}, Kind::Psd, MeasurePsd},  // "8BPS"
    // JPEG 2000: the type of the signature box ("jP  "), its length standing before it; a bare
    // codestream's SOC and SIZ markers.
    MeasureDispatchEntry{{'j', Only('P'), Only(' '), Only(' ')}, Kind::Jp2, MeasureJp2},
    MeasureDispatchEntry{{0xFF, Only(0x4F), Only(0xFF), Only(0x51)}, Kind::Jp2, MeasureJ2k},
    // HEIF and AVIF: the file type box, as for movies (which are tried first); the carver picks
    // the kind by the brand.
    MeasureDispatchEntry{{'f', Only('t'), Only('y'), Only('p')}, std::nullopt, MeasureHeif},
    MeasureDispatchEntry{
        {'i', Only('c'), Only('n'), Only('s')}, Kind::Icns, MeasureIcns},  // "icns"
};

// Rules for kinds without a signature, tried only where an object must begin (the start of an
// input) with the lead at that place. Such a rule must see that the object ends exactly where
// its input does, since almost any bytes pass a header check without a signature.
inline constexpr std::array kAnchoredTable = {
    AnchoredRule{Kind::Tga, MeasureTga},
};

}  // namespace sorvend
