// Prints the kinds of each carving profile, one line each ("classic bmp avi ..."), for the
// manual pages and the shell completion that the build fills in: the engine's own lists, so
// that those texts never fall behind it. With "signatures", prints one line per dispatch row
// instead, a name and four bytes that fit its signature as printf escapes, for the
// adversarial benchmark.
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/dispatch_table.h"
#include "engine/kinds.h"

namespace {

// The lowest byte a signature position accepts.
int LowestIn(const sorvend::ByteSet& set) {
  for (int b = 0; b < 256; ++b) {
    if (set.Has(static_cast<std::uint8_t>(b))) return b;
  }
  return 0;
}

template <class Table>
void PrintSignatures(const char* profile, const Table& table) {
  int row = 0;
  for (const auto& entry : table) {
    const sorvend::Signature& s = entry.signature;
    const int bytes[] = {s.lead, LowestIn(s.next), LowestIn(s.third), LowestIn(s.fourth)};
    const char* kind = entry.kind ? sorvend::RecordOf(*entry.kind).name : "any";
    std::printf("%s-%02d-%s ", profile, row++, kind);
    for (const int b : bytes) std::printf("\\x%02x", b);
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "signatures") == 0) {
    PrintSignatures("classic", sorvend::kDispatchTable);
    PrintSignatures("thorough", sorvend::kMeasureTable);
    return 0;
  }
  using sorvend::Profile;
  const struct {
    const char* name;
    Profile profile;
  } profiles[] = {{"classic", Profile::Classic}, {"thorough", Profile::Thorough}};
  for (const auto& p : profiles) {
    std::printf("%s", p.name);
    for (int i = 0; i < sorvend::KindCount(p.profile); ++i) {
      std::printf(" %s", sorvend::kKinds[i].name);
    }
    std::printf("\n");
  }
  return 0;
}
