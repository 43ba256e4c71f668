// FLAC streams: "fLaC", metadata blocks up to the one flagged last (STREAMINFO first), then
// frames. Each frame is measured as a decoder reads it, subframe by subframe down to the
// residual codes, so that its end is known exactly, and is checked by its header's CRC-8 and
// its CRC-16.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "engine/formats/crc.h"
#include "engine/formats/formats.h"

namespace sorvend {
namespace {

constexpr auto kCrc8 = MsbFirstCrcTable<std::uint8_t, 0x07>();
constexpr auto kCrc16 = MsbFirstCrcTable<std::uint16_t, 0x8005>();

std::uint16_t Crc16(std::uint16_t crc, std::uint8_t byte) {
  return static_cast<std::uint16_t>(crc << 8 ^ kCrc16[(crc >> 8) ^ byte]);
}

constexpr std::uint8_t kMagic[4] = {'f', 'L', 'a', 'C'};
constexpr std::uint8_t kStreamInfo = 0;
constexpr std::uint8_t kInvalidBlock = 127;
constexpr std::uint32_t kStreamInfoLength = 34;
constexpr int kMaxMetadataBlocks = 1024;
constexpr std::uint32_t kMinBlockSize = 16;

struct StreamInfo {
  std::uint32_t minBlock;
  std::uint32_t maxBlock;
  std::uint32_t minFrame;
  std::uint32_t maxFrame;
  std::uint32_t rate;
  int channels;
  int bits;
  std::uint64_t samples;  // 0: not known
};

bool ReadStreamInfo(const std::uint8_t* d, StreamInfo& info) {
  info.minBlock = GetBe16(d);
  info.maxBlock = GetBe16(d + 2);
  info.minFrame = GetBe32(d + 3) & 0xFFFFFF;
  info.maxFrame = GetBe32(d + 6) & 0xFFFFFF;
  const std::uint64_t packed = GetBe64(d + 10);
  info.rate = static_cast<std::uint32_t>(packed >> 44);
  info.channels = static_cast<int>(packed >> 41 & 0x7) + 1;
  info.bits = static_cast<int>(packed >> 36 & 0x1F) + 1;
  info.samples = packed & 0xFFFFFFFFF;
  return info.minBlock >= kMinBlockSize && info.maxBlock >= info.minBlock && info.rate > 0 &&
         info.bits >= 4 &&
         (info.minFrame == 0 || info.maxFrame == 0 || info.minFrame <= info.maxFrame);
}

// Reads a frame's bits, most significant first, up to a limit, and keeps the CRC-16 of every
// byte it has passed.
class FrameBits {
 public:
  FrameBits(ByteView& in, std::int64_t at, std::int64_t limit, std::uint16_t crc)
      : in_(in), at_(at), limit_(limit), crc_(crc) {}

  std::int64_t Offset() const { return at_; }
  std::uint16_t Crc() const { return crc_; }
  // The limit stopped a read before the frame's end was found.
  bool RanOut() const { return ranOut_; }

  // n bits (at most 32) as a number.
  bool Take(int n, std::uint32_t& value) {
    value = 0;
    while (n > 0) {
      if (!Ready()) return false;
      const int left = 8 - bit_;
      const int k = std::min(n, left);
      value = value << k | (*p_ >> (left - k) & ((1u << k) - 1));
      Use(k);
      n -= k;
    }
    return true;
  }

  bool Skip(std::uint64_t n) {
    while (n > 0) {
      if (!Ready()) return false;
      if (bit_ == 0 && n >= 8) {
        const auto bytes = std::min<std::uint64_t>(n / 8, static_cast<std::uint64_t>(end_ - p_));
        for (std::uint64_t i = 0; i < bytes; ++i) NextByte();
        n -= bytes * 8;
      } else {
        const int k = static_cast<int>(std::min<std::uint64_t>(n, 8 - bit_));
        Use(k);
        n -= static_cast<std::uint64_t>(k);
      }
    }
    return true;
  }

  // A unary number: zero bits up to a one.
  bool Unary(std::uint32_t& zeros) {
    zeros = 0;
    for (;;) {
      if (!Ready()) return false;
      const auto rest = static_cast<std::uint8_t>(*p_ << bit_);
      if (rest == 0) {
        zeros += static_cast<std::uint32_t>(8 - bit_);
        NextByte();
        continue;
      }
      const int run = std::countl_zero(rest);
      zeros += static_cast<std::uint32_t>(run);
      Use(run + 1);
      return true;
    }
  }

  // The frame pads its last byte with zero bits.
  bool Align() {
    if (bit_ == 0) return true;
    if ((static_cast<std::uint8_t>(*p_ << bit_)) != 0) return false;
    NextByte();
    return true;
  }

 private:
  bool Ready() {
    if (p_ != end_) return true;
    if (at_ >= limit_) {
      ranOut_ = true;
      return false;
    }
    std::size_t avail = 0;
    constexpr std::int64_t kChunk = std::int64_t{1} << 16;
    p_ = in_.Peek(at_, static_cast<std::size_t>(std::min(kChunk, limit_ - at_)), avail);
    if (avail == 0) {
      ranOut_ = true;
      return false;
    }
    end_ = p_ + avail;
    return true;
  }
  void Use(int k) {
    bit_ += k;
    if (bit_ == 8) NextByte();
  }
  void NextByte() {
    crc_ = Crc16(crc_, *p_);
    ++p_;
    ++at_;
    bit_ = 0;
  }

  ByteView& in_;
  std::int64_t at_;
  std::int64_t limit_;
  std::uint16_t crc_;
  const std::uint8_t* p_ = nullptr;
  const std::uint8_t* end_ = nullptr;
  int bit_ = 0;
  bool ranOut_ = false;
};

struct FrameHeader {
  int length = 0;
  std::uint32_t blockSize = 0;
  std::uint64_t number = 0;  // frame number, or first sample number for variable block sizes
  bool variable = false;
  int channels = 0;
  int sideChannel = -1;  // the channel that carries a difference, one bit wider
  std::uint16_t crc16 = 0;
};

constexpr std::uint32_t kRates[12] = {0,     88200, 176400, 192000, 8000,  16000,
                                      22050, 24000, 32000,  44100,  48000, 96000};
constexpr int kSampleBits[8] = {0, 8, 12, -1, 16, 20, 24, 32};
constexpr int kMaxHeaderLength = 16;

// The frame header at h[0..avail): sync, the fields a stream allows, the coded frame or sample
// number, the optional block size and rate, and the CRC-8; it must describe this stream.
bool ParseFrameHeader(const std::uint8_t* h, std::size_t avail, const StreamInfo& info,
                      FrameHeader& f) {
  if (avail < 6 || h[0] != 0xFF || (h[1] & 0xFE) != 0xF8) return false;
  f.variable = (h[1] & 1) != 0;
  const int blockCode = h[2] >> 4;
  const int rateCode = h[2] & 0xF;
  const int channelCode = h[3] >> 4;
  const int sizeCode = h[3] >> 1 & 7;
  if (blockCode == 0 || rateCode == 15 || channelCode > 10 || sizeCode == 3 || (h[3] & 1) != 0) {
    return false;
  }
  // The number: a first byte telling the count of continuation bytes by its leading ones.
  const int ones = std::countl_one(h[4]);
  if (ones == 1 || ones > (f.variable ? 7 : 6)) return false;
  const int numberLength = ones == 0 ? 1 : ones;
  std::size_t at = 5;
  std::uint64_t number = h[4] & (0x7F >> ones);
  for (int i = 1; i < numberLength; ++i, ++at) {
    if (at >= avail || (h[at] & 0xC0) != 0x80) return false;
    number = number << 6 | (h[at] & 0x3F);
  }
  f.number = number;
  const auto extra = [&](int bytes, std::uint32_t& value) {
    value = 0;
    for (int i = 0; i < bytes; ++i, ++at) {
      if (at >= avail) return false;
      value = value << 8 | h[at];
    }
    return true;
  };
  std::uint32_t value = 0;
  if (blockCode == 1) {
    f.blockSize = 192;
  } else if (blockCode <= 5) {
    f.blockSize = 576u << (blockCode - 2);
  } else if (blockCode <= 7) {
    if (!extra(blockCode - 5, value) || value == 0xFFFF) return false;
    f.blockSize = value + 1;
  } else {
    f.blockSize = 256u << (blockCode - 8);
  }
  std::uint32_t rate = info.rate;
  if (rateCode >= 1 && rateCode <= 11) {
    rate = kRates[rateCode];
  } else if (rateCode >= 12) {
    if (!extra(rateCode == 12 ? 1 : 2, value)) return false;
    rate = rateCode == 12 ? value * 1000 : rateCode == 13 ? value : value * 10;
  }
  if (at >= avail) return false;
  std::uint8_t crc8 = 0;
  for (std::size_t i = 0; i < at; ++i) crc8 = kCrc8[crc8 ^ h[i]];
  if (crc8 != h[at]) return false;
  f.length = static_cast<int>(at) + 1;
  f.crc16 = 0;
  for (int i = 0; i < f.length; ++i) f.crc16 = Crc16(f.crc16, h[i]);

  f.channels = channelCode <= 7 ? channelCode + 1 : 2;
  f.sideChannel = channelCode == 8 || channelCode == 10 ? 1 : channelCode == 9 ? 0 : -1;
  const int bits = sizeCode == 0 ? info.bits : kSampleBits[sizeCode];
  return f.channels == info.channels && bits == info.bits && rate == info.rate &&
         f.blockSize <= info.maxBlock;
}

// A subframe's residual: partitions of Rice-coded samples, or of raw samples where the
// parameter is the escape code.
bool SkipResidual(FrameBits& bits, std::uint32_t blockSize, std::uint32_t order) {
  std::uint32_t method = 0;
  std::uint32_t partitionOrder = 0;
  if (!bits.Take(2, method) || method > 1 || !bits.Take(4, partitionOrder)) return false;
  const int parameterBits = method == 0 ? 4 : 5;
  const std::uint32_t escape = (1u << parameterBits) - 1;
  const std::uint32_t perPartition = blockSize >> partitionOrder;
  if (perPartition << partitionOrder != blockSize || perPartition < order) return false;
  for (std::uint32_t p = 0; p < 1u << partitionOrder; ++p) {
    const std::uint32_t count = perPartition - (p == 0 ? order : 0);
    std::uint32_t parameter = 0;
    if (!bits.Take(parameterBits, parameter)) return false;
    if (parameter == escape) {
      std::uint32_t rawBits = 0;
      if (!bits.Take(5, rawBits) || !bits.Skip(std::uint64_t{count} * rawBits)) return false;
      continue;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t quotient = 0;
      if (!bits.Unary(quotient) || !bits.Skip(parameter)) return false;
    }
  }
  return true;
}

constexpr std::uint32_t kConstant = 0;
constexpr std::uint32_t kVerbatim = 1;
constexpr std::uint32_t kFixed = 8;  // 001xxx, orders 0 to 4
constexpr std::uint32_t kMaxFixedOrder = 4;
constexpr std::uint32_t kLpc = 32;  // 1xxxxx, orders 1 to 32
constexpr std::uint32_t kInvalidPrecision = 15;

bool SkipSubframe(FrameBits& bits, std::uint32_t blockSize, int sampleBits) {
  std::uint32_t head = 0;
  if (!bits.Take(8, head) || (head & 0x80) != 0) return false;
  const std::uint32_t type = head >> 1 & 0x3F;
  if ((head & 1) != 0) {
    std::uint32_t wasted = 0;
    if (!bits.Unary(wasted) || static_cast<int>(wasted) + 1 >= sampleBits) return false;
    sampleBits -= static_cast<int>(wasted) + 1;
  }
  const auto width = static_cast<std::uint64_t>(sampleBits);
  if (type == kConstant) return bits.Skip(width);
  if (type == kVerbatim) return bits.Skip(width * blockSize);
  if (type >= kFixed && type <= kFixed + kMaxFixedOrder) {
    const std::uint32_t order = type - kFixed;
    return bits.Skip(width * order) && SkipResidual(bits, blockSize, order);
  }
  if (type >= kLpc) {
    const std::uint32_t order = type - kLpc + 1;
    std::uint32_t precision = 0;
    return bits.Skip(width * order) && bits.Take(4, precision) && precision != kInvalidPrecision &&
           bits.Skip(5 + std::uint64_t{order} * (precision + 1)) &&
           SkipResidual(bits, blockSize, order);
  }
  return false;
}

enum class FrameEnd { Whole, NotAFrame, InputEnded };

// Measures the frame at `at`; on Whole, `end` is the byte behind its CRC-16.
FrameEnd MeasureFrame(ByteView& in, std::int64_t at, const StreamInfo& info, FrameHeader& f,
                      std::int64_t& end) {
  std::size_t avail = 0;
  const std::uint8_t* h = in.Peek(at, kMaxHeaderLength, avail);
  if (avail == 0 || !ParseFrameHeader(h, avail, info, f)) return FrameEnd::NotAFrame;
  // The largest frame this stream can have: every channel stored verbatim, one bit wider, with
  // its subframe header; or STREAMINFO's bound where it gives a lower one.
  std::int64_t largest =
      kMaxHeaderLength + 2 +
      info.channels * ((std::int64_t{f.blockSize} * (info.bits + 1) + 7) / 8 + 8);
  if (info.maxFrame != 0) largest = std::min<std::int64_t>(largest, info.maxFrame);
  FrameBits bits(in, at + f.length, std::min(in.Size(), at + largest), f.crc16);
  for (int channel = 0; channel < f.channels; ++channel) {
    const int width = info.bits + (channel == f.sideChannel ? 1 : 0);
    if (!SkipSubframe(bits, f.blockSize, width)) {
      return bits.RanOut() && at + largest > in.Size() ? FrameEnd::InputEnded : FrameEnd::NotAFrame;
    }
  }
  if (!bits.Align()) return FrameEnd::NotAFrame;
  const std::uint16_t crc = bits.Crc();
  std::uint32_t stored = 0;
  if (!bits.Take(16, stored)) {
    return bits.RanOut() && at + largest > in.Size() ? FrameEnd::InputEnded : FrameEnd::NotAFrame;
  }
  if (crc != stored) return FrameEnd::NotAFrame;
  end = bits.Offset();
  return FrameEnd::Whole;
}

}  // namespace

// The metadata blocks, then frames numbered in order, each whole and checked, up to the sample
// count STREAMINFO gives (or as far as they go when it gives none).
bool MeasureFlac(ByteView& in, std::int64_t lead, Extent& out) {
  std::uint8_t head[8 + kStreamInfoLength];
  if (!in.Read(lead, head, sizeof head) || std::memcmp(head, kMagic, 4) != 0 ||
      (head[4] & 0x7F) != kStreamInfo || (GetBe32(head + 4) & 0xFFFFFF) != kStreamInfoLength) {
    return false;
  }
  StreamInfo info{};
  if (!ReadStreamInfo(head + 8, info)) return false;
  std::int64_t at = lead + sizeof head;
  bool last = (head[4] & 0x80) != 0;
  for (int blocks = 1; !last; ++blocks) {
    std::uint8_t block[4];
    if (blocks == kMaxMetadataBlocks || !in.Read(at, block, sizeof block)) return false;
    const int type = block[0] & 0x7F;
    if (type == kStreamInfo || type == kInvalidBlock) return false;
    last = (block[0] & 0x80) != 0;
    at += 4 + (GetBe32(block) & 0xFFFFFF);
  }

  std::uint64_t samples = 0;
  std::uint64_t frames = 0;
  bool variable = false;
  bool cut = false;
  for (;;) {
    if (info.samples != 0 && samples >= info.samples) break;
    FrameHeader f;
    std::int64_t end = 0;
    const FrameEnd result = MeasureFrame(in, at, info, f, end);
    if (frames == 0) variable = f.variable;
    // Frames count up from 0, or tell their first sample where block sizes vary.
    const bool inOrder = f.variable == variable && f.number == (variable ? samples : frames);
    if (result != FrameEnd::Whole || !inOrder ||
        (info.samples != 0 && samples + f.blockSize > info.samples)) {
      cut = info.samples != 0 || result == FrameEnd::InputEnded;
      break;
    }
    at = end;
    samples += f.blockSize;
    ++frames;
    // Only the last frame may be shorter than the stream's blocks.
    if (f.blockSize < info.minBlock) {
      cut = info.samples != 0 && samples < info.samples;
      break;
    }
  }
  if (frames == 0) return false;
  out.start = lead;
  out.end = at;
  out.cut = cut;
  out.ext = ".FLAC";
  return true;
}

}  // namespace sorvend
