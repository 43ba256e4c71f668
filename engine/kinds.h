// The one record of every kind of object the engine can look for: its names, its outputs'
// extensions, its group and whether the classic profile knows it. The command line, the
// window's switches and menu, the settings file, the manual pages, the shell completion and the
// adversarial benchmark all read their lists from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace sorvend {

// In the order of kKinds below. The first ten are the window's type switches, in its tab order
// and the settings file's; the classic profile knows only those.
enum class Kind : std::uint8_t {
  Bmp,
  Avi,
  Wav,
  Ani,
  Jpg,
  Mov,
  Png,
  Mp3,
  Gif,
  Ogg,
  Mid,
  Xm,
  It,
  S3m,
  Mod,
  Flac,
  Aiff,
  Voc,
  Au,
  Aac,
  Wma,
  Webp,
  Ico,
  Dds,
  Tif,
  Wmv,
  Flv,
  Mkv,
  Swf,
  Tga,
  Pcx,
  Psd,
  Sgi,
  Ras,
  Heic,
  Avif,
  Jp2,
  Qoi,
  Icns,
  Wv,
  Mpc,
  Tta,
  Adx,
  Caf,
  Ac3,
  Roq,
  Mpg,
  Ts,
};

// What a kind holds, as the window groups its kinds.
enum class KindGroup : std::uint8_t { Music, Sound, Picture, Video };
inline constexpr std::array<KindGroup, 4> kKindGroups = {KindGroup::Music, KindGroup::Sound,
                                                         KindGroup::Picture, KindGroup::Video};

// The extensions a kind's outputs get, with their dot, the usual one first.
struct Extensions {
  static constexpr std::size_t kMax = 4;
  std::array<const char*, kMax> names{};
  std::size_t count = 0;

  template <class... Names>
  constexpr explicit Extensions(Names... ext) : names{ext...}, count(sizeof...(Names)) {
    static_assert(sizeof...(Names) >= 1 && sizeof...(Names) <= kMax);
  }
  constexpr const char* const* begin() const { return names.data(); }
  constexpr const char* const* end() const { return names.data() + count; }
};

struct KindRecord {
  Kind kind;
  // The command line's name (lower case).
  const char* name;
  // The window's caption for its switch or menu item.
  const char* caption;
  Extensions extensions;
  KindGroup group;
  // The classic profile knows the kind; such rows come first.
  bool classic;
  // The settings file's key for its switch or menu item.
  const char* settingsKey;
};

// Adding a kind: its value at the end of Kind, and its row at the end of this table.
inline constexpr std::array kKinds = {
    KindRecord{Kind::Bmp, "bmp", "BMP", Extensions(".BMP"), KindGroup::Picture, true, "BMP"},
    KindRecord{Kind::Avi, "avi", "AVI", Extensions(".AVI"), KindGroup::Video, true, "AVI"},
    KindRecord{Kind::Wav, "wav", "WAV", Extensions(".WAV"), KindGroup::Sound, true, "WAV"},
    KindRecord{Kind::Ani, "ani", "ANI", Extensions(".ANI"), KindGroup::Picture, true, "ANI"},
    KindRecord{Kind::Jpg, "jpg", "JPG", Extensions(".JPG"), KindGroup::Picture, true, "JPG"},
    KindRecord{Kind::Mov, "mov", "MOV", Extensions(".MOV", ".MP4", ".M4A", ".3GP"),
               KindGroup::Video, true, "MOV"},
    KindRecord{Kind::Png, "png", "PNG", Extensions(".PNG"), KindGroup::Picture, true, "PNG"},
    KindRecord{Kind::Mp3, "mp3", "MP3", Extensions(".MP3"), KindGroup::Sound, true, "MP3"},
    KindRecord{Kind::Gif, "gif", "GIF", Extensions(".GIF"), KindGroup::Picture, true, "GIF"},
    KindRecord{Kind::Ogg, "ogg", "ogg", Extensions(".ogg", ".opus", ".ogv"), KindGroup::Sound, true,
               "Ogg"},
    KindRecord{Kind::Mid, "mid", "MIDI", Extensions(".MID", ".RMI"), KindGroup::Music, false,
               "MID"},
    KindRecord{Kind::Xm, "xm", "XM", Extensions(".XM"), KindGroup::Music, false, "XM"},
    KindRecord{Kind::It, "it", "IT", Extensions(".IT"), KindGroup::Music, false, "IT"},
    KindRecord{Kind::S3m, "s3m", "S3M", Extensions(".S3M"), KindGroup::Music, false, "S3M"},
    KindRecord{Kind::Mod, "mod", "MOD", Extensions(".MOD"), KindGroup::Music, false, "MOD"},
    KindRecord{Kind::Flac, "flac", "FLAC", Extensions(".FLAC"), KindGroup::Sound, false, "FLAC"},
    KindRecord{Kind::Aiff, "aiff", "AIFF", Extensions(".AIF"), KindGroup::Sound, false, "AIFF"},
    KindRecord{Kind::Voc, "voc", "VOC", Extensions(".VOC"), KindGroup::Sound, false, "VOC"},
    KindRecord{Kind::Au, "au", "AU", Extensions(".AU"), KindGroup::Sound, false, "AU"},
    KindRecord{Kind::Aac, "aac", "AAC", Extensions(".AAC"), KindGroup::Sound, false, "AAC"},
    KindRecord{Kind::Wma, "wma", "WMA", Extensions(".WMA"), KindGroup::Sound, false, "WMA"},
    KindRecord{Kind::Webp, "webp", "WebP", Extensions(".WEBP"), KindGroup::Picture, false, "WEBP"},
    KindRecord{Kind::Ico, "ico", "ICO/CUR", Extensions(".ICO", ".CUR"), KindGroup::Picture, false,
               "ICO"},
    KindRecord{Kind::Dds, "dds", "DDS", Extensions(".DDS"), KindGroup::Picture, false, "DDS"},
    KindRecord{Kind::Tif, "tif", "TIFF", Extensions(".TIF"), KindGroup::Picture, false, "TIF"},
    KindRecord{Kind::Wmv, "wmv", "WMV", Extensions(".WMV"), KindGroup::Video, false, "WMV"},
    KindRecord{Kind::Flv, "flv", "FLV", Extensions(".FLV"), KindGroup::Video, false, "FLV"},
    KindRecord{Kind::Mkv, "mkv", "MKV/WebM", Extensions(".MKV", ".WEBM"), KindGroup::Video, false,
               "MKV"},
    KindRecord{Kind::Swf, "swf", "SWF", Extensions(".SWF"), KindGroup::Video, false, "SWF"},
    KindRecord{Kind::Tga, "tga", "TGA", Extensions(".TGA"), KindGroup::Picture, false, "TGA"},
    KindRecord{Kind::Pcx, "pcx", "PCX", Extensions(".PCX"), KindGroup::Picture, false, "PCX"},
    KindRecord{Kind::Psd, "psd", "PSD", Extensions(".PSD"), KindGroup::Picture, false, "PSD"},
    KindRecord{Kind::Sgi, "sgi", "SGI", Extensions(".SGI"), KindGroup::Picture, false, "SGI"},
    KindRecord{Kind::Ras, "ras", "Sun RAS", Extensions(".RAS"), KindGroup::Picture, false, "RAS"},
    KindRecord{Kind::Heic, "heic", "HEIC/HEIF", Extensions(".HEIC", ".HEIF"), KindGroup::Picture,
               false, "HEIC"},
    KindRecord{Kind::Avif, "avif", "AVIF", Extensions(".AVIF"), KindGroup::Picture, false, "AVIF"},
    KindRecord{Kind::Jp2, "jp2", "JPEG 2000", Extensions(".JP2", ".J2K"), KindGroup::Picture, false,
               "JP2"},
    KindRecord{Kind::Qoi, "qoi", "QOI", Extensions(".QOI"), KindGroup::Picture, false, "QOI"},
    KindRecord{Kind::Icns, "icns", "ICNS", Extensions(".ICNS"), KindGroup::Picture, false, "ICNS"},
    KindRecord{Kind::Wv, "wv", "WavPack", Extensions(".WV"), KindGroup::Sound, false, "WV"},
    KindRecord{Kind::Mpc, "mpc", "Musepack", Extensions(".MPC"), KindGroup::Sound, false, "MPC"},
    KindRecord{Kind::Tta, "tta", "TTA", Extensions(".TTA"), KindGroup::Sound, false, "TTA"},
    KindRecord{Kind::Adx, "adx", "ADX", Extensions(".ADX"), KindGroup::Sound, false, "ADX"},
    KindRecord{Kind::Caf, "caf", "CAF", Extensions(".CAF"), KindGroup::Sound, false, "CAF"},
    KindRecord{Kind::Ac3, "ac3", "AC-3", Extensions(".AC3"), KindGroup::Sound, false, "AC3"},
    KindRecord{Kind::Roq, "roq", "RoQ", Extensions(".ROQ"), KindGroup::Video, false, "ROQ"},
    KindRecord{Kind::Mpg, "mpg", "MPEG-PS", Extensions(".MPG"), KindGroup::Video, false, "MPG"},
    KindRecord{Kind::Ts, "ts", "MPEG-TS", Extensions(".TS", ".M2TS"), KindGroup::Video, false,
               "TS"},
};

inline constexpr int kKindCount = static_cast<int>(kKinds.size());
inline constexpr int kClassicKindCount = [] {
  int n = 0;
  for (const KindRecord& r : kKinds) n += r.classic ? 1 : 0;
  return n;
}();

// The rows follow the enum one for one and the classic kinds come first, so that a kind's value
// indexes its row and the classic profile's kinds are the first ones.
static_assert([] {
  for (int i = 0; i < kKindCount; ++i) {
    if (static_cast<int>(kKinds[i].kind) != i) return false;
    if (kKinds[i].classic != (i < kClassicKindCount)) return false;
  }
  return true;
}());

constexpr const KindRecord& RecordOf(Kind kind) {
  return kKinds[static_cast<std::size_t>(kind)];
}

// The kind whose outputs get `ext` (with its dot, as written: ".BMP", ".ogg").
constexpr std::optional<Kind> KindOfExtension(std::string_view ext) {
  for (const KindRecord& r : kKinds) {
    for (const char* e : r.extensions) {
      if (ext == e) return r.kind;
    }
  }
  return std::nullopt;
}

// The group's name as the window shows it.
constexpr const char* GroupCaption(KindGroup group) {
  switch (group) {
    case KindGroup::Music:
      return "音楽";
    case KindGroup::Sound:
      return "音声";
    case KindGroup::Picture:
      return "画像";
    case KindGroup::Video:
      return "動画";
  }
  return "";
}

}  // namespace sorvend
