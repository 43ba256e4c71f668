// Properties of the kind record: what every front end and every rule relies on.
#include "engine/kinds.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "engine/scan.h"
#include "tests/support/test_support.h"

namespace sorvend {
namespace {

using namespace test;

namespace fs = std::filesystem;

TEST(KindRecord, NamesKeysCaptionsAndExtensionsAreUnique) {
  std::set<std::string> names, keys, captions, extensions;
  for (const KindRecord& r : kKinds) {
    SCOPED_TRACE(r.name);
    EXPECT_TRUE(names.insert(r.name).second);
    EXPECT_TRUE(keys.insert(r.settingsKey).second);
    EXPECT_TRUE(captions.insert(r.caption).second);
    for (const char c : std::string(r.name)) EXPECT_TRUE(std::islower(c) || std::isdigit(c));
    ASSERT_GE(r.extensions.count, 1u);
    for (const char* ext : r.extensions) {
      EXPECT_EQ(ext[0], '.') << ext;
      EXPECT_TRUE(extensions.insert(ext).second) << ext;
      EXPECT_EQ(KindOfExtension(ext), r.kind) << ext;
    }
  }
  EXPECT_EQ(KindOfExtension(".EXE"), std::nullopt);
}

// The outputs of a dry run of `sample` with the kinds `ticked`.
std::vector<OutputRecord> DryRun(const std::string& sample, Profile profile,
                                 const std::set<int>& ticked) {
  ScratchDir dir;
  RecordingHost host;
  for (int k = 0; k < kKindCount; ++k) host.ticked[k] = ticked.count(k) > 0;
  ScanContext ctx;
  ctx.profile = profile;
  ctx.DryRun = true;
  ctx.Host = &host;
  ctx.SourceDir = dir.dir();
  ScanFile(ctx, sample);
  return host.outputs;
}

// Every sample under tests/data is scanned with all kinds ticked, then again with each kind
// it yielded ticked alone: every kind is found in some sample (so its rows reach it), and
// every output a kind's rules write has an extension of that kind's row.
void ExpectEveryKindFoundWithItsOwnExtensions(Profile profile) {
  std::set<int> all;
  for (int k = 0; k < KindCount(profile); ++k) all.insert(k);
  std::set<int> found;
  for (const auto& entry : fs::recursive_directory_iterator(SORVEND_TEST_DATA)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
    const std::string sample = entry.path().string();
    std::set<int> yielded;
    for (const OutputRecord& out : DryRun(sample, profile, all)) {
      const std::optional<Kind> kind = KindOfExtension("." + out.kind);
      ASSERT_TRUE(kind.has_value()) << sample << ": " << out.kind;
      yielded.insert(static_cast<int>(*kind));
    }
    for (const int k : yielded) {
      const std::vector<OutputRecord> alone = DryRun(sample, profile, {k});
      EXPECT_FALSE(alone.empty()) << sample << ": " << kKinds[k].name;
      for (const OutputRecord& out : alone) {
        EXPECT_EQ(KindOfExtension("." + out.kind), kKinds[k].kind)
            << sample << ": " << kKinds[k].name << " wrote " << out.kind;
      }
      found.insert(k);
    }
  }
  for (const int k : all) EXPECT_TRUE(found.count(k) > 0) << "no sample yields " << kKinds[k].name;
}

TEST(KindRecord, EveryThoroughKindIsFoundInTheSamplesWithItsOwnExtensions) {
  ExpectEveryKindFoundWithItsOwnExtensions(Profile::Thorough);
}

TEST(KindRecord, EveryClassicKindIsFoundInTheSamplesWithItsOwnExtensions) {
  ExpectEveryKindFoundWithItsOwnExtensions(Profile::Classic);
}

// The README's list of kinds for -k is the table's.
TEST(KindRecord, ReadmeListsTheTablesKinds) {
  const std::string readme = ReadText(std::string(SORVEND_TEST_DATA) + "/../../README.md");
  std::string both, thoroughOnly;
  for (const KindRecord& r : kKinds) {
    std::string& list = r.classic ? both : thoroughOnly;
    list += (list.empty() ? "" : ",") + std::string(r.name);
  }
  EXPECT_NE(readme.find("Both profiles: `" + both + "`"), std::string::npos) << both;
  EXPECT_NE(readme.find("thorough only: `" + thoroughOnly + "`"), std::string::npos)
      << thoroughOnly;
}

}  // namespace
}  // namespace sorvend
