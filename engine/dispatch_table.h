// Which carver the scan loop calls at which lead byte, one table per profile.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "engine/formats/formats.h"
#include "engine/measure.h"

namespace sorvend {

// A byte after the lead byte that a carver can accept: (byte & mask) == value.
struct FollowByte {
  std::uint8_t mask;
  std::uint8_t value;
};
inline constexpr FollowByte kNoFollow{0x00, 0x01};  // matches no byte
inline constexpr FollowByte kAnyByte{0x00, 0x00};   // matches every byte

// The first bytes of every object a carver can take: the lead byte, the byte after it (one of
// two patterns), and the two after that. The scan loop skips every position whose bytes fit
// no entry without calling a carver, which would reject them; so these must never exclude a
// byte the carver accepts.
struct Signature {
  std::uint8_t lead;
  std::array<FollowByte, 2> follow;
  FollowByte third = kAnyByte;
  FollowByte fourth = kAnyByte;
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
};

// Entries for the same lead byte are tried in table order until one takes the byte.
inline constexpr std::array kDispatchTable = {
    DispatchEntry{{0x28, {{{0xFF, 0x00}, kNoFollow}}}, Kind::Bmp, ExtractDib},    // 40, LE
    DispatchEntry{{'G', {{{0xFF, 'I'}, kNoFollow}}}, Kind::Gif, ExtractGif},      // "GIF8"
    DispatchEntry{{'O', {{{0xFF, 'g'}, kNoFollow}}}, Kind::Ogg, ExtractOgg},      // "OggS"
    DispatchEntry{{'R', {{{0xFF, 'I'}, kNoFollow}}}, std::nullopt, ExtractRiff},  // "RIFF"
    DispatchEntry{{'m', {{{0xFF, 'd'}, kNoFollow}}}, Kind::Mov, ExtractMov},      // "mdat"
    DispatchEntry{{0x89, {{{0xFF, 'P'}, kNoFollow}}}, Kind::Png, ExtractPng},     // 0x89 "PNG"
    DispatchEntry{{0xFF, {{{0xFF, 0xD8}, kNoFollow}}}, Kind::Jpg, ExtractJpeg},   // SOI
    // MPEG audio sync: the rest of the 12 sync bits, then Layer III (01) or Layer II (10).
    DispatchEntry{{0xFF, {{{0xF6, 0xF2}, {0xF6, 0xF4}}}}, Kind::Mp3, ExtractMp3},
};

// The thorough profile's table. A signature of four fixed bytes keeps the candidate search
// fast however common its lead byte is.
inline constexpr std::array kMeasureTable = {
    // Bitmaps, icons and textures.
    // Information header sizes 40, 108 and 124, little-endian.
    MeasureDispatchEntry{
        {0x28, {{{0xFF, 0x00}, kNoFollow}}, {0xFF, 0x00}, {0xFF, 0x00}}, Kind::Bmp, MeasureDib},
    MeasureDispatchEntry{
        {0x6C, {{{0xFF, 0x00}, kNoFollow}}, {0xFF, 0x00}, {0xFF, 0x00}}, Kind::Bmp, MeasureDib},
    MeasureDispatchEntry{
        {0x7C, {{{0xFF, 0x00}, kNoFollow}}, {0xFF, 0x00}, {0xFF, 0x00}}, Kind::Bmp, MeasureDib},
    // Icons (00 00 01 00) and cursors (00 00 02 00).
    MeasureDispatchEntry{
        {0x00, {{{0xFF, 0x00}, kNoFollow}}, {0xFF, 0x01}, {0xFF, 0x00}}, Kind::Ico, MeasureIco},
    MeasureDispatchEntry{
        {0x00, {{{0xFF, 0x00}, kNoFollow}}, {0xFF, 0x02}, {0xFF, 0x00}}, Kind::Ico, MeasureIco},
    MeasureDispatchEntry{{'D', {{{0xFF, 'D'}, kNoFollow}}, {0xFF, 'S'}, {0xFF, ' '}}, Kind::Dds,
                         MeasureDds},  // "DDS "

    // JPEG, GIF and TIFF.
    // SOI, then the first marker: every code that may follow SOI lies in 0xC0..0xFF.
    MeasureDispatchEntry{
        {0xFF, {{{0xFF, 0xD8}, kNoFollow}}, {0xFF, 0xFF}, {0xC0, 0xC0}}, Kind::Jpg, MeasureJpeg},
    MeasureDispatchEntry{{'G', {{{0xFF, 'I'}, kNoFollow}}, {0xFF, 'F'}, {0xFF, '8'}}, Kind::Gif,
                         MeasureGif},  // "GIF8"
    MeasureDispatchEntry{{'I', {{{0xFF, 'I'}, kNoFollow}}, {0xFF, '*'}, {0xFF, 0x00}}, Kind::Tif,
                         MeasureTiff},  // "II*\0", little-endian
    MeasureDispatchEntry{{'M', {{{0xFF, 'M'}, kNoFollow}}, {0xFF, 0x00}, {0xFF, '*'}}, Kind::Tif,
                         MeasureTiff},  // "MM\0*", big-endian

    // PNG.
    MeasureDispatchEntry{{0x89, {{{0xFF, 'P'}, kNoFollow}}, {0xFF, 'N'}, {0xFF, 'G'}},
                         Kind::Png,
                         MeasurePng},  // 0x89 "PNG"

    // RIFF forms, AIFF, MIDI, VOC and AU.
    // "RIFF": the AVI, WAVE, ACON, RMID and WEBP forms, each checking its own kind.
    MeasureDispatchEntry{
        {'R', {{{0xFF, 'I'}, kNoFollow}}, {0xFF, 'F'}, {0xFF, 'F'}}, std::nullopt, MeasureRiff},
    // "FORM" of AIFF and AIFF-C, "MThd", "Crea" of "Creative Voice File", ".snd".
    MeasureDispatchEntry{
        {'F', {{{0xFF, 'O'}, kNoFollow}}, {0xFF, 'R'}, {0xFF, 'M'}}, Kind::Aiff, MeasureAiff},
    MeasureDispatchEntry{
        {'M', {{{0xFF, 'T'}, kNoFollow}}, {0xFF, 'h'}, {0xFF, 'd'}}, Kind::Mid, MeasureMidi},
    MeasureDispatchEntry{
        {'C', {{{0xFF, 'r'}, kNoFollow}}, {0xFF, 'e'}, {0xFF, 'a'}}, Kind::Voc, MeasureVoc},
    MeasureDispatchEntry{
        {'.', {{{0xFF, 's'}, kNoFollow}}, {0xFF, 'n'}, {0xFF, 'd'}}, Kind::Au, MeasureAu},

    // MPEG audio, AAC, FLAC and Ogg.
    // MPEG audio sync: the rest of the 11 sync bits and any layer but the reserved 00.
    MeasureDispatchEntry{{0xFF, {{{0xE2, 0xE2}, {0xE4, 0xE4}}}}, Kind::Mp3, MeasureMpegAudio},
    // "ID3" and a major version from 2 to 4, in front of whichever audio stream follows.
    MeasureDispatchEntry{{'I', {{{0xFF, 'D'}, kNoFollow}}, {0xFF, '3'}, {0xF8, 0x00}},
                         std::nullopt,
                         MeasureTaggedAudio},
    // ADTS sync: the rest of the 12 sync bits, either MPEG version, layer 00, either protection.
    MeasureDispatchEntry{{0xFF, {{{0xF6, 0xF0}, kNoFollow}}}, Kind::Aac, MeasureAac},
    MeasureDispatchEntry{{'f', {{{0xFF, 'L'}, kNoFollow}}, {0xFF, 'a'}, {0xFF, 'C'}},
                         Kind::Flac,
                         MeasureFlac},  // "fLaC"
    MeasureDispatchEntry{{'O', {{{0xFF, 'g'}, kNoFollow}}, {0xFF, 'g'}, {0xFF, 'S'}}, Kind::Ogg,
                         MeasureOgg},  // "OggS"

    // QuickTime and MP4, Matroska, FLV, ASF and SWF.
    // Movies: the type of a box a movie starts with ("ftyp", "moov", "mdat", "wide", "free",
    // "skip"); the box's size stands before it.
    MeasureDispatchEntry{
        {'f', {{{0xFF, 't'}, kNoFollow}}, {0xFF, 'y'}, {0xFF, 'p'}}, Kind::Mov, MeasureMov},
    MeasureDispatchEntry{
        {'m', {{{0xFF, 'o'}, kNoFollow}}, {0xFF, 'o'}, {0xFF, 'v'}}, Kind::Mov, MeasureMov},
    MeasureDispatchEntry{
        {'m', {{{0xFF, 'd'}, kNoFollow}}, {0xFF, 'a'}, {0xFF, 't'}}, Kind::Mov, MeasureMov},
    MeasureDispatchEntry{
        {'w', {{{0xFF, 'i'}, kNoFollow}}, {0xFF, 'd'}, {0xFF, 'e'}}, Kind::Mov, MeasureMov},
    MeasureDispatchEntry{
        {'f', {{{0xFF, 'r'}, kNoFollow}}, {0xFF, 'e'}, {0xFF, 'e'}}, Kind::Mov, MeasureMov},
    MeasureDispatchEntry{
        {'s', {{{0xFF, 'k'}, kNoFollow}}, {0xFF, 'i'}, {0xFF, 'p'}}, Kind::Mov, MeasureMov},
    // Matroska and WebM: the EBML header's ID.
    MeasureDispatchEntry{
        {0x1A, {{{0xFF, 0x45}, kNoFollow}}, {0xFF, 0xDF}, {0xFF, 0xA3}}, Kind::Mkv, MeasureMkv},
    // Flash Video: "FLV", version 1.
    MeasureDispatchEntry{
        {'F', {{{0xFF, 'L'}, kNoFollow}}, {0xFF, 'V'}, {0xFF, 0x01}}, Kind::Flv, MeasureFlv},
    // Windows Media audio and video: the header object's GUID; the carver picks the kind.
    MeasureDispatchEntry{
        {0x30, {{{0xFF, 0x26}, kNoFollow}}, {0xFF, 0xB2}, {0xFF, 0x75}}, std::nullopt, MeasureAsf},
    // Flash movies: "FWS", "CWS" or "ZWS" and a version below 64.
    MeasureDispatchEntry{
        {'F', {{{0xFF, 'W'}, kNoFollow}}, {0xFF, 'S'}, {0xC0, 0x00}}, Kind::Swf, MeasureSwf},
    MeasureDispatchEntry{
        {'C', {{{0xFF, 'W'}, kNoFollow}}, {0xFF, 'S'}, {0xC0, 0x00}}, Kind::Swf, MeasureSwf},
    MeasureDispatchEntry{
        {'Z', {{{0xFF, 'W'}, kNoFollow}}, {0xFF, 'S'}, {0xC0, 0x00}}, Kind::Swf, MeasureSwf},

    // Tracker modules.
    MeasureDispatchEntry{{'E', {{{0xFF, 'x'}, kNoFollow}}, {0xFF, 't'}, {0xFF, 'e'}},
                         Kind::Xm, MeasureXm},  // "Extended Module: "
    MeasureDispatchEntry{{'I', {{{0xFF, 'M'}, kNoFollow}}, {0xFF, 'P'}, {0xFF, 'M'}},
                         Kind::It, MeasureIt},  // "IMPM"
    // "SCRM", 44 bytes into the module.
    MeasureDispatchEntry{{'S', {{{0xFF, 'C'}, kNoFollow}}, {0xFF, 'R'}, {0xFF, 'M'}},
                         Kind::S3m, MeasureS3m},
    // MOD tags, 1,080 bytes into the module: "M.K.", "M!K!", "M&K!"; "FLT4", "FLT8"; "OKTA";
    // "CD81". The digit tags are found by their letters, "2CHN" to "9CHN" and "xxCH", "xxCN",
    // with the first pattern byte (below 0x20) behind them, so that numbers in text are no
    // candidates.
    MeasureDispatchEntry{{'M', {{{0xFF, '.'}, {0xF8, 0x20}}}, {0xFF, 'K'}, {0xF0, 0x20}},
                         Kind::Mod, MeasureMod},
    MeasureDispatchEntry{{'F', {{{0xFF, 'L'}, kNoFollow}}, {0xFF, 'T'}, {0xF3, 0x30}},
                         Kind::Mod, MeasureMod},
    MeasureDispatchEntry{{'O', {{{0xFF, 'K'}, kNoFollow}}, {0xFF, 'T'}, {0xFF, 'A'}},
                         Kind::Mod, MeasureMod},
    MeasureDispatchEntry{{'C', {{{0xFF, 'D'}, kNoFollow}}, {0xFF, '8'}, {0xFF, '1'}},
                         Kind::Mod, MeasureMod},
    MeasureDispatchEntry{{'C', {{{0xFF, 'H'}, kNoFollow}}, {0xFF, 'N'}, {0xE0, 0x00}},
                         Kind::Mod, MeasureModChn},
    MeasureDispatchEntry{{'C', {{{0xFF, 'H'}, {0xFF, 'N'}}}, {0xE0, 0x00}, kAnyByte},
                         Kind::Mod, MeasureModCh},
};

}  // namespace sorvend
