// The carver entries, one per format unit; the scan loop's dispatch tables list them. Extract
// entries are the classic profile's, Measure entries the thorough one's.
#pragma once

#include "engine/carver.h"
#include "engine/measure.h"

namespace sorvend {

// The bytes from `at` to the end of the input, fewer than `n`, are the first ones of
// pattern[0..n): the start of a unit that the input's end cuts short, not other data.
inline bool TailStartsLike(ByteView& in, std::int64_t at, const char* pattern, std::size_t n) {
  const std::int64_t rest = in.Size() - at;
  if (rest <= 0 || rest >= static_cast<std::int64_t>(n)) return false;
  for (std::int64_t i = 0; i < rest; ++i) {
    if (in.Byte(at + i) != static_cast<std::uint8_t>(pattern[i])) return false;
  }
  return true;
}

bool ExtractDib(ScanContext& ctx);
bool ExtractRiff(ScanContext& ctx);
bool ExtractJpeg(ScanContext& ctx);
bool ExtractMp3(ScanContext& ctx);
bool ExtractPng(ScanContext& ctx);
bool ExtractGif(ScanContext& ctx);
bool ExtractOgg(ScanContext& ctx);
bool ExtractMov(ScanContext& ctx);

// Bitmaps, icons and textures.
bool MeasureDib(ByteView& in, std::int64_t lead, Extent& out);
bool ScreenDib(const std::uint8_t* p, std::size_t avail, std::int64_t left);
bool MeasureIco(ByteView& in, std::int64_t lead, Extent& out);
bool ScreenIco(const std::uint8_t* p, std::size_t avail, std::int64_t left);
bool MeasureDds(ByteView& in, std::int64_t lead, Extent& out);

// JPEG, GIF and TIFF.
bool MeasureJpeg(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureGif(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureTiff(ByteView& in, std::int64_t lead, Extent& out);
bool ScreenTiff(const std::uint8_t* p, std::size_t avail, std::int64_t left);

// PNG.
bool MeasurePng(ByteView& in, std::int64_t lead, Extent& out);

// RIFF forms, AIFF, MIDI, VOC and AU.
bool MeasureRiff(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureAiff(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureMidi(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureVoc(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureAu(ByteView& in, std::int64_t lead, Extent& out);

// MPEG audio, AAC, FLAC and Ogg.
bool MeasureMpegAudio(ByteView& in, std::int64_t lead, Extent& out);
bool ScreenMpegAudio(const std::uint8_t* p, std::size_t avail, std::int64_t left);
bool MeasureTaggedAudio(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureFlac(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureAac(ByteView& in, std::int64_t lead, Extent& out);
bool ScreenAac(const std::uint8_t* p, std::size_t avail, std::int64_t left);
bool MeasureOgg(ByteView& in, std::int64_t lead, Extent& out);

// QuickTime and MP4, Matroska, FLV, ASF and SWF.
bool MeasureMov(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureMkv(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureFlv(ByteView& in, std::int64_t lead, Extent& out);
// Windows Media audio or video, by whether a video stream is declared.
bool MeasureAsf(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureSwf(ByteView& in, std::int64_t lead, Extent& out);

// Game sound: WavPack, Musepack SV8, TTA, CRI ADX, CAF and raw AC-3.
bool MeasureWavPack(ByteView& in, std::int64_t lead, Extent& out);
bool ScreenWavPack(const std::uint8_t* p, std::size_t avail, std::int64_t left);
// A RIFF header at `riff` that a WavPack block keeps in its metadata (the source file's), part
// of the WavPack object and no WAVE file of its own.
bool IsWavPackRiffHeader(ByteView& in, std::int64_t riff);
bool MeasureMusepack(ByteView& in, std::int64_t lead, Extent& out);
bool ScreenMusepack(const std::uint8_t* p, std::size_t avail, std::int64_t left);
bool MeasureTta(ByteView& in, std::int64_t lead, Extent& out);
bool ScreenTta(const std::uint8_t* p, std::size_t avail, std::int64_t left);
bool MeasureAdx(ByteView& in, std::int64_t lead, Extent& out);
bool ScreenAdx(const std::uint8_t* p, std::size_t avail, std::int64_t left);
bool MeasureCaf(ByteView& in, std::int64_t lead, Extent& out);
bool ScreenCaf(const std::uint8_t* p, std::size_t avail, std::int64_t left);
bool MeasureAc3(ByteView& in, std::int64_t lead, Extent& out);
bool ScreenAc3(const std::uint8_t* p, std::size_t avail, std::int64_t left);

// Game video: id RoQ, MPEG program and transport streams.
bool MeasureRoq(ByteView& in, std::int64_t lead, Extent& out);
bool ScreenRoq(const std::uint8_t* p, std::size_t avail, std::int64_t left);
bool MeasureMpegPs(ByteView& in, std::int64_t lead, Extent& out);
bool ScreenMpegPs(const std::uint8_t* p, std::size_t avail, std::int64_t left);
// 188-byte packets, or the 192-byte ones of M2TS whose object starts 4 bytes before the lead.
bool MeasureMpegTs(ByteView& in, std::int64_t lead, Extent& out);
bool ScreenMpegTs(const std::uint8_t* p, std::size_t avail, std::int64_t left);

// Tracker modules.
bool MeasureXm(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureIt(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureS3m(ByteView& in, std::int64_t lead, Extent& out);
// MOD by where the lead byte stands in the tag at offset 1,080: its first byte ("M.K.",
// "FLT8", "CD81", "OKTA"), the 'C' of "xCHN", the 'C' of "xxCH" and "xxCN".
bool MeasureMod(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureModChn(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureModCh(ByteView& in, std::int64_t lead, Extent& out);

// More pictures.
bool MeasureQoi(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureSunRaster(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureSgi(ByteView& in, std::int64_t lead, Extent& out);
bool ScreenSgi(const std::uint8_t* p, std::size_t avail, std::int64_t left);
bool MeasurePcx(ByteView& in, std::int64_t lead, Extent& out);
bool ScreenPcx(const std::uint8_t* p, std::size_t avail, std::int64_t left);
bool MeasurePsd(ByteView& in, std::int64_t lead, Extent& out);
// JPEG 2000 in its box form (the lead byte is the 'j' of the signature box) and as a bare
// codestream.
bool MeasureJp2(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureJ2k(ByteView& in, std::int64_t lead, Extent& out);
// HEIF pictures by their file type box: HEIC and other HEIF brands, or AVIF.
bool MeasureHeif(ByteView& in, std::int64_t lead, Extent& out);
bool MeasureIcns(ByteView& in, std::int64_t lead, Extent& out);
// Targa has no signature: tried only where an object must begin.
bool MeasureTga(ByteView& in, std::int64_t lead, Extent& out);

}  // namespace sorvend
