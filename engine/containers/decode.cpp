#include "engine/containers/decode.h"

#include <bzlib.h>
#include <fcntl.h>
#include <lz4frame.h>
#include <lzma.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/carver.h"
#include "engine/scan.h"

namespace sorvend {

UnpackLimits LimitsForStreamSize(std::int64_t streamBytes) {
  UnpackLimits limits;
  if (streamBytes <= limits.streamBytes) {
    limits.streamBytes = std::max<std::int64_t>(1, streamBytes);
    limits.inputBytes = 4 * limits.streamBytes;
    return limits;
  }
  const std::int64_t scale = streamBytes / limits.streamBytes;
  limits.streamBytes = streamBytes;
  limits.inputBytes = 4 * streamBytes;
  limits.ratio *= scale;
  return limits;
}

Unpacker::Unpacker(const UnpackLimits& limits)
    : limits_(limits), scratch_(std::make_unique<UnpackScratch>()) {}
Unpacker::~Unpacker() = default;

void Unpacker::BeginInput() {
  decodedThisInput = 0;
  inputLimitLogged = false;
}

std::string DescribeContainer(const ContainerRef& ref) {
  char offset[32];
  std::snprintf(offset, sizeof offset, "@0x%llx", static_cast<unsigned long long>(ref.offset));
  std::string text = ref.kind + offset;
  if (!ref.entry.empty()) {
    std::string entry = ref.entry;
    // One line in the log, whatever the archive calls its entry.
    std::replace_if(
        entry.begin(), entry.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; },
        '?');
    text += " \"" + entry + "\"";
  }
  return text;
}

void ReportLimit(ScanContext& ctx, const std::string& what, const ContainerRef& ref) {
  std::string where;
  for (const ContainerRef& outer : ctx.Within) where += DescribeContainer(outer) + " / ";
  ctx.Host->UnpackLimitReached(what + " at " + where + DescribeContainer(ref));
}

// ---- The decoded bytes ----

namespace {

// An unlinked file in $TMPDIR: it never has a name where the system can do so, else its name
// goes at once.
int OpenUnlinkedTemporary() {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  int fd = ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string name = std::string(dir) + "/sorvend-XXXXXX";
  fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(name.c_str());
  return fd;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t n) {
  while (n > 0) {
    const ssize_t done = ::write(fd, data, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    data += done;
    n -= static_cast<std::size_t>(done);
  }
  return true;
}

}  // namespace

DecodedSink::DecodedSink(Unpacker& unpacker) : unpacker_(unpacker) {}

DecodedSink::~DecodedSink() {
  if (fd_ >= 0) ::close(fd_);
}

void DecodedSink::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  memory_.clear();
  size_ = 0;
  reached_ = Limit::None;
}

bool DecodedSink::Spill() {
  fd_ = OpenUnlinkedTemporary();
  if (fd_ < 0 || !WriteAll(fd_, memory_.data(), memory_.size())) return false;
  // The memory goes back: a deep nesting holds one buffer per level.
  std::vector<std::uint8_t>().swap(memory_);
  return true;
}

bool DecodedSink::Put(const std::uint8_t* data, std::size_t n, std::int64_t compressedUsed) {
  if (reached_ != Limit::None) return false;
  const UnpackLimits& limits = unpacker_.Limits();
  std::int64_t room = limits.streamBytes - size_;
  Limit limit = Limit::Stream;
  if (compressedUsed > 0) {
    const std::int64_t ratioRoom =
        std::max(compressedUsed, UnpackLimits::kRatioFloor) * limits.ratio - size_;
    if (ratioRoom < room) room = ratioRoom, limit = Limit::Ratio;
  }
  if (const std::int64_t inputRoom = limits.inputBytes - unpacker_.decodedThisInput;
      inputRoom < room) {
    room = inputRoom, limit = Limit::Input;
  }
  std::size_t take = n;
  if (static_cast<std::int64_t>(n) > room) {
    take = static_cast<std::size_t>(std::max<std::int64_t>(0, room));
    reached_ = limit;
  }
  if (fd_ < 0 && size_ + static_cast<std::int64_t>(take) > limits.memoryBytes && !Spill()) {
    reached_ = Limit::Disk;
    return false;
  }
  if (fd_ >= 0) {
    if (!WriteAll(fd_, data, take)) {
      reached_ = Limit::Disk;
      return false;
    }
  } else {
    memory_.insert(memory_.end(), data, data + take);
  }
  size_ += static_cast<std::int64_t>(take);
  unpacker_.decodedThisInput += static_cast<std::int64_t>(take);
  return reached_ == Limit::None;
}

std::FILE* DecodedSink::OpenForReading() {
  if (size_ == 0) return nullptr;
  if (fd_ < 0) {
    // Unbuffered, a stream in memory hands its bytes out one at a time.
    std::FILE* file = ::fmemopen(memory_.data(), memory_.size(), "rb");
    if (file != nullptr) std::setvbuf(file, nullptr, _IOFBF, std::size_t{1} << 16);
    return file;
  }
  const int copy = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return nullptr;
  std::FILE* file = ::fdopen(copy, "rb");
  if (file == nullptr) {
    ::close(copy);
    return nullptr;
  }
  // The scan's own buffers do the buffering, as for an input file.
  std::setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

// ---- Decoders ----

namespace {

enum class Step { More, End, Damaged, Refused, Dictionary };

// Each decoder turns input into output in steps; `used` and `made` receive what a step took
// and gave. None keeps a pointer into the input between steps.
class ZlibDecoder {
 public:
  explicit ZlibDecoder(int windowBits) { ok_ = inflateInit2(&z_, windowBits) == Z_OK; }
  ~ZlibDecoder() { inflateEnd(&z_); }
  bool Ready() const { return ok_; }
  Step Run(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen,
           std::size_t& used, std::size_t& made) {
    z_.next_in = const_cast<Bytef*>(in);
    z_.avail_in = static_cast<uInt>(inLen);
    z_.next_out = out;
    z_.avail_out = static_cast<uInt>(outLen);
    const int rc = inflate(&z_, Z_NO_FLUSH);
    used = inLen - z_.avail_in;
    made = outLen - z_.avail_out;
    if (rc == Z_STREAM_END) return Step::End;
    return rc == Z_OK || rc == Z_BUF_ERROR ? Step::More : Step::Damaged;
  }

 private:
  z_stream z_{};
  bool ok_ = false;
};

class Bzip2Decoder {
 public:
  Bzip2Decoder() { ok_ = BZ2_bzDecompressInit(&s_, 0, 0) == BZ_OK; }
  ~Bzip2Decoder() { BZ2_bzDecompressEnd(&s_); }
  bool Ready() const { return ok_; }
  Step Run(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen,
           std::size_t& used, std::size_t& made) {
    s_.next_in = reinterpret_cast<char*>(const_cast<std::uint8_t*>(in));
    s_.avail_in = static_cast<unsigned>(inLen);
    s_.next_out = reinterpret_cast<char*>(out);
    s_.avail_out = static_cast<unsigned>(outLen);
    const int rc = BZ2_bzDecompress(&s_);
    used = inLen - s_.avail_in;
    made = outLen - s_.avail_out;
    if (rc == BZ_STREAM_END) return Step::End;
    return rc == BZ_OK ? Step::More : Step::Damaged;
  }

 private:
  bz_stream s_{};
  bool ok_ = false;
};

class LzmaDecoder {
 public:
  LzmaDecoder(Codec codec, std::uint64_t dictionaryBytes) {
    // A dictionary of the limit itself is taken; the decoder's own tables come on top.
    const std::uint64_t memlimit = dictionaryBytes + (std::uint64_t{16} << 20);
    ok_ = (codec == Codec::Xz ? lzma_stream_decoder(&s_, memlimit, 0)
                              : lzma_alone_decoder(&s_, memlimit)) == LZMA_OK;
  }
  ~LzmaDecoder() { lzma_end(&s_); }
  bool Ready() const { return ok_; }
  Step Run(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen,
           std::size_t& used, std::size_t& made) {
    s_.next_in = in;
    s_.avail_in = inLen;
    s_.next_out = out;
    s_.avail_out = outLen;
    const lzma_ret rc = lzma_code(&s_, LZMA_RUN);
    used = inLen - s_.avail_in;
    made = outLen - s_.avail_out;
    switch (rc) {
      case LZMA_OK:
      case LZMA_BUF_ERROR:
        return Step::More;
      case LZMA_STREAM_END:
        return Step::End;
      case LZMA_MEMLIMIT_ERROR:
        return Step::Dictionary;
      case LZMA_FORMAT_ERROR:
      case LZMA_OPTIONS_ERROR:
        return Step::Refused;
      default:
        return Step::Damaged;
    }
  }

 private:
  lzma_stream s_ = LZMA_STREAM_INIT;
  bool ok_ = false;
};

class ZstdDecoder {
 public:
  explicit ZstdDecoder(std::uint64_t dictionaryBytes) : d_(ZSTD_createDCtx()) {
    const int windowLog = std::bit_width(dictionaryBytes) - 1;
    ok_ = d_ != nullptr &&
          !ZSTD_isError(ZSTD_DCtx_setParameter(d_, ZSTD_d_windowLogMax, std::min(windowLog, 31)));
  }
  ~ZstdDecoder() { ZSTD_freeDCtx(d_); }
  bool Ready() const { return ok_; }
  Step Run(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen,
           std::size_t& used, std::size_t& made) {
    ZSTD_inBuffer input{in, inLen, 0};
    ZSTD_outBuffer output{out, outLen, 0};
    const std::size_t rc = ZSTD_decompressStream(d_, &output, &input);
    used = input.pos;
    made = output.pos;
    if (ZSTD_isError(rc)) {
      return ZSTD_getErrorCode(rc) == ZSTD_error_frameParameter_windowTooLarge ? Step::Dictionary
                                                                               : Step::Damaged;
    }
    // 0: the frame is decoded and all of it handed out.
    return rc == 0 ? Step::End : Step::More;
  }

 private:
  ZSTD_DCtx* d_;
  bool ok_ = false;
};

class Lz4Decoder {
 public:
  Lz4Decoder() { ok_ = !LZ4F_isError(LZ4F_createDecompressionContext(&d_, LZ4F_VERSION)); }
  ~Lz4Decoder() { LZ4F_freeDecompressionContext(d_); }
  bool Ready() const { return ok_; }
  Step Run(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen,
           std::size_t& used, std::size_t& made) {
    used = inLen;
    made = outLen;
    const std::size_t rc = LZ4F_decompress(d_, out, &made, in, &used, nullptr);
    if (LZ4F_isError(rc)) return Step::Damaged;
    return rc == 0 ? Step::End : Step::More;
  }

 private:
  LZ4F_dctx* d_ = nullptr;
  bool ok_ = false;
};

// Stored data: the bytes are what they hold.
class StoredCopy {
 public:
  bool Ready() const { return true; }
  Step Run(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen,
           std::size_t& used, std::size_t& made) {
    used = made = std::min(inLen, outLen);
    // At the end of the stored bytes the view hands no piece at all.
    if (made > 0) std::memcpy(out, in, made);
    return Step::More;
  }
};

// The compressed bytes at a given place, read ahead in the large pieces the view gives.
constexpr std::size_t kInputPiece = std::size_t{1} << 16;

template <class Decoder>
DecodeResult Run(ScanContext& ctx, Decoder& decoder, std::int64_t offset, std::int64_t length,
                 DecodedSink& sink, const std::vector<std::uint8_t>& prefix, bool stored) {
  DecodeResult result;
  if (!decoder.Ready()) return result;
  ByteView in(ctx);
  if (length < 0 || length > in.Size() - offset)
    length = std::max<std::int64_t>(0, in.Size() - offset);
  std::vector<std::uint8_t>& out = ctx.unpacker->Scratch().out;
  std::size_t prefixUsed = 0;
  for (;;) {
    if (Stopped(ctx)) return result.end = DecodeEnd::Stopped, result;
    const std::uint8_t* data;
    std::size_t avail = 0;
    const bool fromPrefix = prefixUsed < prefix.size();
    if (fromPrefix) {
      data = prefix.data() + prefixUsed;
      avail = prefix.size() - prefixUsed;
    } else {
      const auto want =
          static_cast<std::size_t>(std::min<std::int64_t>(kInputPiece, length - result.consumed));
      data = want > 0 ? in.Peek(offset + result.consumed, want, avail) : nullptr;
      avail = std::min(avail, want);
      if (Stopped(ctx)) return result.end = DecodeEnd::Stopped, result;
    }
    std::size_t used = 0, made = 0;
    const Step step = decoder.Run(data, avail, out.data(), out.size(), used, made);
    if (fromPrefix) {
      prefixUsed += used;
    } else {
      result.consumed += static_cast<std::int64_t>(used);
    }
    if (made > 0 && !sink.Put(out.data(), made, stored ? 0 : result.consumed)) {
      return result.end = DecodeEnd::Limit, result;
    }
    if (KeepResponsive(ctx, static_cast<std::int64_t>(used + made))) {
      return result.end = DecodeEnd::Stopped, result;
    }
    switch (step) {
      case Step::End:
        return result.end = DecodeEnd::StreamEnd, result;
      case Step::Damaged:
        return result.end = DecodeEnd::Damaged, result;
      case Step::Refused:
        return result.end = DecodeEnd::Refused, result;
      case Step::Dictionary:
        return result.end = DecodeEnd::Dictionary, result;
      case Step::More:
        break;
    }
    // No progress: the decoder waits for bytes there are none of, or refuses those it has.
    if (used == 0 && made == 0) {
      result.end = avail == 0 ? DecodeEnd::InputEnd : DecodeEnd::Damaged;
      return result;
    }
  }
}

}  // namespace

DecodeResult DecodeStream(ScanContext& ctx, Codec codec, std::int64_t offset, std::int64_t length,
                          DecodedSink& sink, const std::vector<std::uint8_t>& prefix) {
  const std::uint64_t dictionary = ctx.unpacker->Limits().dictionaryBytes;
  switch (codec) {
    case Codec::Stored: {
      StoredCopy copy;
      DecodeResult r = Run(ctx, copy, offset, length, sink, prefix, true);
      // Stored data ends where its length says.
      if (r.end == DecodeEnd::InputEnd && length >= 0 && r.consumed == length) {
        r.end = DecodeEnd::StreamEnd;
      }
      return r;
    }
    case Codec::Deflate:
    case Codec::Zlib:
    case Codec::Gzip: {
      ZlibDecoder z(codec == Codec::Deflate ? -15 : codec == Codec::Zlib ? 15 : 16 + 15);
      return Run(ctx, z, offset, length, sink, prefix, false);
    }
    case Codec::Bzip2: {
      Bzip2Decoder b;
      return Run(ctx, b, offset, length, sink, prefix, false);
    }
    case Codec::LzmaAlone:
    case Codec::Xz: {
      LzmaDecoder l(codec, dictionary);
      return Run(ctx, l, offset, length, sink, prefix, false);
    }
    case Codec::Zstd: {
      ZstdDecoder d(dictionary);
      return Run(ctx, d, offset, length, sink, prefix, false);
    }
    case Codec::Lz4Frame: {
      Lz4Decoder d;
      return Run(ctx, d, offset, length, sink, prefix, false);
    }
  }
  return {};
}

// ---- The scan of decoded bytes ----

namespace {

// The front end as the scan of a container's bytes sees it: everything goes to the front end
// of the scan that found the container. Its progress stays with the outermost input, where the
// container lies; and once the front end has stopped that scan, this one stops too.
class NestedHost final : public ScanHost {
 public:
  NestedHost(ScanContext& parent, ScanContext& child) : parent_(parent), child_(child) {}
  bool IsTicked(Kind kind) override { return parent_.Host->IsTicked(kind); }
  void AppendLog(const std::string& line) override { parent_.Host->AppendLog(line); }
  void EnableProgressTimer(bool) override {}
  void SetProgress(int) override {}
  void KeepResponsive() override {
    parent_.Host->KeepResponsive();
    if (Stopped(parent_)) CloseStreams(child_);
  }
  std::int64_t ResponsiveInterval() const override { return parent_.Host->ResponsiveInterval(); }
  void OutputWritten(const OutputRecord& record) override { parent_.Host->OutputWritten(record); }
  void OutputFailed(const std::string& name) override { parent_.Host->OutputFailed(name); }
  void UnpackLimitReached(const std::string& message) override {
    parent_.Host->UnpackLimitReached(message);
  }

 private:
  ScanContext& parent_;
  ScanContext& child_;
};

const char* LimitText(DecodedSink::Limit limit) {
  switch (limit) {
    case DecodedSink::Limit::Stream:
      return "decoded-size limit reached";
    case DecodedSink::Limit::Ratio:
      return "compression-ratio limit reached";
    case DecodedSink::Limit::Input:
      return "decoded-size limit of the input reached";
    case DecodedSink::Limit::Disk:
      return "temporary file could not be written";
    case DecodedSink::Limit::None:
      break;
  }
  return "";
}

}  // namespace

bool MayOpenContainer(ScanContext& ctx, const ContainerRef& ref) {
  Unpacker& unpacker = *ctx.unpacker;
  if (static_cast<int>(ctx.Within.size()) >= unpacker.Limits().depth) {
    ReportLimit(ctx, "depth limit reached", ref);
    return false;
  }
  if (unpacker.decodedThisInput >= unpacker.Limits().inputBytes) {
    // Named once: every container behind it would meet it again.
    if (!unpacker.inputLimitLogged) ReportLimit(ctx, LimitText(DecodedSink::Limit::Input), ref);
    unpacker.inputLimitLogged = true;
    return false;
  }
  return true;
}

bool ScanDecoded(ScanContext& ctx, DecodedSink& sink, const ContainerRef& ref) {
  if (const DecodedSink::Limit limit = sink.Reached(); limit != DecodedSink::Limit::None) {
    if (limit != DecodedSink::Limit::Input || !ctx.unpacker->inputLimitLogged) {
      ReportLimit(ctx, LimitText(limit), ref);
    }
    if (limit == DecodedSink::Limit::Input) ctx.unpacker->inputLimitLogged = true;
  }
  if (Stopped(ctx)) return false;
  std::FILE* file = sink.OpenForReading();
  if (file == nullptr) return true;
  ScanContext child;
  NestedHost host(ctx, child);
  child.Host = &host;
  child.DryRun = ctx.DryRun;
  child.profile = ctx.profile;
  child.SourceDir = ctx.SourceDir;
  child.InputPath = ctx.InputPath;
  child.OutputCount = ctx.OutputCount;
  child.unpacker = ctx.unpacker;
  // The start of decoded bytes is a place where an object must begin, as an input's start is.
  child.anchoredRules = ctx.anchoredRules;
  child.Within = ctx.Within;
  child.Within.push_back(ref);
  child.InFile.Adopt(file);
  ScanOpenInput(child);
  ctx.OutputCount = child.OutputCount;
  CloseStreams(child);
  return !Stopped(ctx);
}

}  // namespace sorvend
