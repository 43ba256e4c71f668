// sorvend-cli: the carving engine for scripts, servers and big disk images.
#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "cli/version.h"
#include "engine/batch.h"
#include "engine/scan.h"
#include "engine/scan_context.h"
#include "engine/unpack.h"

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

using sorvend::Kind;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "Usage: sorvend-cli [--classic] [-k KINDS] [-o DIR] [-r] [-n] [--json] [-q]\n"
    "                   [--no-unpack] [--unpack-limit SIZE] FILE...\n"
    "Writes every embedded media object found in the FILEs out as a file of its own\n"
    "(ANT0000.BMP, ANT0001.WAV, ...), numbered across all FILEs of one run.\n"
    "\n"
    "Thorough carving (the default) checks every object by its format's structure\n"
    "before writing it, takes today's variants of each format and ends an object at\n"
    "its last valid part; an object cut short is written as far as it is valid and\n"
    "marked \"cut\".\n"
    "It also decodes archives and compressed streams (ZIP, gzip, zlib, xz, bzip2,\n"
    "zstd, LZ4, 7z, CAB, LZH) and carves what they hold, up to 8 levels deep.\n"
    "Classic carving (--classic) finds the ten historical kinds by their old rules,\n"
    "with outputs byte for byte as earlier versions wrote them.\n"
    "\n"
    "      --classic          carve by the classic rules\n"
    "  -k, --kinds KINDS      comma-separated kinds to look for (default: all of the\n"
    "                         profile's kinds). Both profiles:\n"
    "%s"
    "                         Thorough only:\n"
    "%s"
    "  -o, --output-dir DIR   write the outputs into DIR (created if missing)\n"
    "                         instead of beside each input\n"
    "  -r, --recursive        scan every file in the folders among the FILEs and in\n"
    "                         their subfolders (names in byte order; symbolic links\n"
    "                         and the output folder are not walked into)\n"
    "  -n, --dry-run          carve as usual but write no file\n"
    "      --json             one JSON object per line instead of text\n"
    "  -q, --quiet            print nothing but errors\n"
    "      --no-unpack        do not look inside archives and compressed streams\n"
    "      --unpack-limit SIZE  let each stream decode up to SIZE bytes (K, M, G\n"
    "                         suffixes; default 1G), each input four times as many\n"
    "      --help             show this help\n"
    "      --version          show the version\n"
    "\n"
    "Exit status: 0 all inputs scanned and all outputs written; 1 an input or a folder\n"
    "could not be read or an output not written; 2 usage error.\n";

// The kind names [from, to) for the help, comma-separated in lines under the option texts.
std::string KindLines(int from, int to) {
  constexpr std::size_t kIndent = 25;
  constexpr std::size_t kWidth = 70;
  std::string lines;
  std::string line(kIndent, ' ');
  for (int k = from; k < to; ++k) {
    const std::string name = std::string(sorvend::kKinds[k].name) + (k + 1 < to ? "," : "");
    if (line.size() + name.size() > kWidth) {
      lines += line + "\n";
      line.assign(kIndent, ' ');
    }
    line += name;
  }
  return lines + line + "\n";
}

struct Options {
  std::array<bool, sorvend::kKindCount> kinds{};
  sorvend::Profile profile = sorvend::Profile::Thorough;
  std::string outputDir;
  bool dryRun = false;
  bool json = false;
  bool quiet = false;
  bool recursive = false;
  bool unpack = true;
  std::int64_t unpackLimit = 0;  // 0: the default limits
  std::vector<std::string> files;
};

// JSON string literal; bytes that are not valid UTF-8 are kept as \u00XX escapes.
std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      const int len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
      bool valid = len > 0 && i + len <= s.size();
      for (int k = 1; valid && k < len; ++k) {
        valid = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
      }
      if (valid) {
        out.append(s, i, len);
        i += len - 1;
      } else {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
      }
    }
  }
  return out + "\"";
}

// Why an input cannot be scanned, for the message on stderr.
std::string OpenFailureReason(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status st = fs::status(fs::path(path), ec);
  if (ec) return ec.message();
  if (fs::is_directory(st)) return "is a folder (-r scans the files in it)";
  if (!fs::is_regular_file(st)) return "not a regular file";
  return "cannot be read";
}

// The containers an output lies in, for the listing: "  in zip@0x1f00 \"a.wav\"", the outer
// ones first, separated by " / ". Nothing for an object of the input itself.
std::string ListingWithin(const std::vector<sorvend::ContainerRef>& within) {
  std::string text;
  for (const sorvend::ContainerRef& ref : within) {
    char offset[32];
    std::snprintf(offset, sizeof offset, "@0x%llx", static_cast<unsigned long long>(ref.offset));
    text += (text.empty() ? "  in " : " / ") + ref.kind + offset;
    if (!ref.entry.empty()) text += " " + JsonString(ref.entry);
  }
  return text;
}

// The same as the JSON member ,"within":[{"kind","offset","entry"}, ...].
std::string JsonWithin(const std::vector<sorvend::ContainerRef>& within) {
  if (within.empty()) return {};
  std::string text = ",\"within\":[";
  for (std::size_t i = 0; i < within.size(); ++i) {
    const sorvend::ContainerRef& ref = within[i];
    text += (i > 0 ? ",{\"kind\":" : "{\"kind\":") + JsonString(ref.kind) +
            ",\"offset\":" + std::to_string(ref.offset);
    if (!ref.entry.empty()) text += ",\"entry\":" + JsonString(ref.entry);
    text += "}";
  }
  return text + "]";
}

// A size with an optional K, M or G (powers of 1024); -1 when it is none or not positive.
std::int64_t ParseSize(const std::string& text) {
  std::size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used);
  } catch (...) {
    return -1;
  }
  int shift = 0;
  if (used + 1 == text.size()) {
    switch (std::toupper(static_cast<unsigned char>(text[used]))) {
      case 'K':
        shift = 10;
        break;
      case 'M':
        shift = 20;
        break;
      case 'G':
        shift = 30;
        break;
      default:
        return -1;
    }
  } else if (used != text.size()) {
    return -1;
  }
  if (value <= 0 || value > (INT64_MAX >> 2 >> shift)) return -1;
  return static_cast<std::int64_t>(value) << shift;
}

class CliHost final : public sorvend::ScanHost {
 public:
  CliHost(const Options& opt, sorvend::ScanContext& ctx)
      : opt_(opt), ctx_(ctx), progress_(!opt.quiet && isatty(fileno(stderr))) {}

  void BeginInput(const std::string& path, const std::string& logLine) {
    input_ = path;
    if (!opt_.quiet && !opt_.json) std::printf("%s\n", logLine.c_str());
  }

  bool IsTicked(Kind kind) override { return opt_.kinds[static_cast<int>(kind)]; }

  void AppendLog(const std::string& line) override {
    if (line == sorvend::kOpenFailedLine) {
      failed_ = true;
      std::fprintf(stderr, "sorvend-cli: %s: %s\n", input_.c_str(),
                   OpenFailureReason(input_).c_str());
      if (opt_.json) {
        std::printf("{\"input\":%s,\"error\":%s}\n", JsonString(input_).c_str(),
                    JsonString("cannot open: " + OpenFailureReason(input_)).c_str());
      } else if (!opt_.quiet) {
        std::printf("%s\n", line.c_str());
      }
      return;
    }
    if (!opt_.quiet && !opt_.json) std::printf("%s\n", line.c_str());
  }

  void EnableProgressTimer(bool enabled) override {
    if (!progress_) return;
    if (enabled) {
      started_ = lastDraw_ = Clock::now();
    } else {
      std::fprintf(stderr, "\r\033[K");
    }
  }

  void SetProgress(int) override {}

  void KeepResponsive() override {
    if (!progress_) return;
    const auto now = Clock::now();
    if (now - lastDraw_ < std::chrono::milliseconds(250)) return;
    lastDraw_ = now;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    const double percent =
        ctx_.FileSize > 0 ? 100.0 * static_cast<double>(ctx_.Position) / ctx_.FileSize : 100.0;
    const double mbps = seconds > 0 ? ctx_.Position / seconds / 1e6 : 0;
    std::fprintf(stderr, "\r\033[K%5.1f%%  %.0f MB/s  %s", std::min(percent, 100.0), mbps,
                 sorvend::NamePart(input_).c_str());
    std::fflush(stderr);
  }

  std::int64_t ResponsiveInterval() const override {
    return progress_ ? std::int64_t{1} << 22 : std::int64_t{1} << 40;
  }

  void OutputWritten(const sorvend::OutputRecord& r) override {
    if (opt_.json) {
      std::printf("{\"input\":%s,\"output\":%s,\"kind\":%s,\"offset\":%lld,\"size\":%lld%s%s}\n",
                  JsonString(input_).c_str(), JsonString(r.name).c_str(),
                  JsonString(r.kind).c_str(), static_cast<long long>(r.offset),
                  static_cast<long long>(r.size), r.cut ? ",\"cut\":true" : "",
                  JsonWithin(r.within).c_str());
    } else if (!opt_.quiet) {
      std::printf("  %s  offset %lld  size %lld%s%s\n", r.name.c_str(),
                  static_cast<long long>(r.offset), static_cast<long long>(r.size),
                  ListingWithin(r.within).c_str(), r.cut ? "  cut" : "");
    }
  }

  void UnpackLimitReached(const std::string& message) override {
    if (!opt_.quiet) std::fprintf(stderr, "sorvend-cli: %s: %s\n", input_.c_str(), message.c_str());
  }

  void OutputFailed(const std::string& name) override {
    failed_ = true;
    std::fprintf(stderr, "sorvend-cli: cannot write %s\n", name.c_str());
  }

  // A folder that the walk of -r could not read; the walk went on without it.
  void FolderUnreadable(const std::string& path, const std::error_code& error) {
    failed_ = true;
    std::fprintf(stderr, "sorvend-cli: %s: cannot read folder: %s\n", path.c_str(),
                 error.message().c_str());
    if (opt_.json) {
      std::printf("{\"input\":%s,\"error\":%s}\n", JsonString(path).c_str(),
                  JsonString("cannot read folder: " + error.message()).c_str());
    }
  }

  bool Failed() const { return failed_; }

 private:
  const Options& opt_;
  sorvend::ScanContext& ctx_;
  bool progress_;
  bool failed_ = false;
  std::string input_;
  Clock::time_point started_, lastDraw_;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "sorvend-cli: %s\nTry 'sorvend-cli --help' for more information.\n",
               message.c_str());
  return 2;
}

bool ParseKinds(const std::string& list, std::array<bool, sorvend::kKindCount>& kinds,
                std::string& bad) {
  kinds.fill(false);
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string name = list.substr(start, end - start);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto it = std::find_if(sorvend::kKinds.begin(), sorvend::kKinds.end(),
                                 [&](const sorvend::KindRecord& r) { return name == r.name; });
    if (it == sorvend::kKinds.end()) {
      bad = name;
      return false;
    }
    kinds[static_cast<std::size_t>(it->kind)] = true;
    start = end + 1;
  }
  return true;
}

// Returns -1 to go on, otherwise the exit status.
int ParseArgs(int argc, char** argv, Options& opt) {
  opt.kinds.fill(true);
  bool kindsGiven = false;
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
      opt.files.push_back(arg);
      continue;
    }
    std::string value;
    bool hasValue = false;
    if (arg.rfind("--", 0) == 0) {
      if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg.resize(eq);
        hasValue = true;
      }
    } else if (arg.size() > 2) {  // -kbmp, -oDIR
      value = arg.substr(2);
      arg.resize(2);
      hasValue = true;
    }
    const auto takeValue = [&]() -> bool {
      if (hasValue) return true;
      if (i + 1 >= argc) return false;
      value = argv[++i];
      return true;
    };
    if (arg == "--") {
      optionsEnd = true;
    } else if (arg == "--help") {
      std::printf(kUsage, KindLines(0, sorvend::kClassicKindCount).c_str(),
                  KindLines(sorvend::kClassicKindCount, sorvend::kKindCount).c_str());
      return 0;
    } else if (arg == "--version") {
      std::printf("sorvend-cli %s\n", sorvend::kVersion);
      return 0;
    } else if (arg == "-k" || arg == "--kinds") {
      if (!takeValue()) return UsageError("option " + arg + " needs a list of kinds");
      std::string bad;
      if (!ParseKinds(value, opt.kinds, bad)) return UsageError("unknown kind '" + bad + "'");
      kindsGiven = true;
    } else if (arg == "--classic" && !hasValue) {
      opt.profile = sorvend::Profile::Classic;
    } else if (arg == "-o" || arg == "--output-dir") {
      if (!takeValue() || value.empty()) return UsageError("option " + arg + " needs a folder");
      opt.outputDir = value;
    } else if ((arg == "-n" || arg == "--dry-run") && !hasValue) {
      opt.dryRun = true;
    } else if (arg == "--json" && !hasValue) {
      opt.json = true;
    } else if ((arg == "-q" || arg == "--quiet") && !hasValue) {
      opt.quiet = true;
    } else if ((arg == "-r" || arg == "--recursive") && !hasValue) {
      opt.recursive = true;
    } else if (arg == "--no-unpack" && !hasValue) {
      opt.unpack = false;
    } else if (arg == "--unpack-limit") {
      if (!takeValue() || (opt.unpackLimit = ParseSize(value)) < 0) {
        return UsageError("option --unpack-limit needs a size (such as 512M or 4G)");
      }
    } else {
      return UsageError("unknown option '" + std::string(argv[i]) + "'");
    }
  }
  // The kinds are checked against the profile once every option is known, whatever their order.
  const int known = sorvend::KindCount(opt.profile);
  for (int k = known; k < sorvend::kKindCount; ++k) {
    if (!opt.kinds[k]) continue;
    if (kindsGiven) {
      return UsageError("kind '" + std::string(sorvend::kKinds[k].name) +
                        "' exists only in thorough carving; drop --classic to look for it");
    }
    opt.kinds[k] = false;
  }
  if (opt.files.empty()) return UsageError("no input file given");
  return -1;
}

// The FILEs, with -r each folder among them replaced by the files under it. The whole list is
// made before the first scan, so that the outputs of this run are not scanned by it.
std::vector<std::string> BatchInputs(const Options& opt, CliHost& host) {
  if (!opt.recursive) return opt.files;
  std::vector<std::string> skip;
  if (!opt.outputDir.empty()) skip.push_back(opt.outputDir);
  std::vector<std::string> inputs;
  for (const std::string& file : opt.files) {
    for (sorvend::ListedPath& listed : sorvend::ListFilesRecursively(file, skip)) {
      if (listed.error) {
        host.FolderUnreadable(listed.path, listed.error);
      } else {
        inputs.push_back(std::move(listed.path));
      }
    }
  }
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (const int status = ParseArgs(argc, argv, opt); status >= 0) return status;

  std::string outputDir = opt.outputDir;
  if (!outputDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(outputDir), ec);
    if (!std::filesystem::is_directory(std::filesystem::path(outputDir))) {
      std::fprintf(stderr, "sorvend-cli: cannot create output folder %s\n", outputDir.c_str());
      return 1;
    }
    if (outputDir.back() != '/') outputDir += '/';
  }

  sorvend::ScanContext ctx;
  CliHost host(opt, ctx);
  ctx.Host = &host;
  ctx.DryRun = opt.dryRun;
  ctx.profile = opt.profile;
  ctx.OutputCount = 0;
  // Only the thorough profile unpacks.
  sorvend::Unpacker unpacker(opt.unpackLimit > 0 ? sorvend::LimitsForStreamSize(opt.unpackLimit)
                                                 : sorvend::UnpackLimits{});
  if (opt.unpack && opt.profile == sorvend::Profile::Thorough) ctx.unpacker = &unpacker;
  const std::vector<std::string> inputs = BatchInputs(opt, host);
  const int count = static_cast<int>(inputs.size());
  for (int i = 0; i < count; ++i) {
    const std::string& path = inputs[i];
    ctx.SourceDir = outputDir.empty() ? sorvend::FolderPart(path) : outputDir;
    host.BeginInput(path, sorvend::FileLogLine(i + 1, count, sorvend::NamePart(path)));
    sorvend::ScanFile(ctx, path);
  }
  std::fflush(stdout);
  return host.Failed() ? 1 : 0;
}
