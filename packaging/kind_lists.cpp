// Prints the kinds of each carving profile, one line each ("classic bmp avi ..."), for the
// manual pages and the shell completion that the build fills in: the engine's own lists, so
// that those texts never fall behind it.
#include <cstdio>

#include "engine/scan_context.h"

int main() {
  using sorvend::Profile;
  const struct {
    const char* name;
    Profile profile;
  } profiles[] = {{"classic", Profile::Classic}, {"thorough", Profile::Thorough}};
  for (const auto& p : profiles) {
    std::printf("%s", p.name);
    for (int i = 0; i < sorvend::KindCount(p.profile); ++i) {
      std::printf(" %s", sorvend::kKindNames[i]);
    }
    std::printf("\n");
  }
  return 0;
}
