#include "engine/formats/riff.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace sorvend {
namespace {

struct RiffForm {
  Kind kind;
  const char* formType;    // bytes 8-11
  const char* firstChunk;  // bytes 12-15
  const char* ext;
};

constexpr std::array<RiffForm, 3> kForms = {{
    {Kind::Avi, "AVI ", "LIST", ".AVI"},
    {Kind::Wav, "WAVE", "fmt ", ".WAV"},
    {Kind::Ani, "ACON", "LIST", ".ANI"},
}};

}  // namespace

bool IsRiff(ScanContext& ctx, const char*& ext) {
  const std::uint8_t* h = ctx.Header.data();
  if (!FourCcIs(h, "RIFF")) return false;
  for (const RiffForm& form : kForms) {
    // A switch is asked only when its form's turn comes.
    if (!ctx.Host->IsTicked(form.kind)) continue;
    if (FourCcIs(h + 8, form.formType) && FourCcIs(h + 12, form.firstChunk)) {
      ext = form.ext;
      return true;
    }
  }
  return false;
}

bool ExtractRiff(ScanContext& ctx) {
  const std::int64_t lead = ctx.Position - 1;
  ctx.Header[0] = 'R';
  ReadHeader(ctx, 1, 15);
  const char* ext = nullptr;
  if (!IsRiff(ctx, ext)) return Reject(ctx);
  if (!BeginOutput(ctx, ext, lead)) return true;

  // "RIFF" and the size field as read; the form type and everything behind it are copied.
  WriteBytes(ctx, ctx.Header.data(), 8);
  const std::int32_t size = Le32(ctx.Header.data() + 4);
  SeekTo(ctx, lead + 8);
  // A size with its top bit set is negative and copies nothing beyond the 8 header bytes.
  const std::int64_t n = std::min<std::int64_t>(size, Remaining(ctx));
  if (CopyBytes(ctx, n) == CopyEnd::Stopped) return true;
  EndOutput(ctx);
  return true;
}

}  // namespace sorvend
