// Names already in the output folder under an output's name: links are replaced by the output
// and what they point to stays as it was; names that are no regular file fail that output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace sorvend::test {
namespace {

namespace fs = std::filesystem;

const Bytes& Png() {
  static const Bytes png = ReadTestData("png/gradient.png");
  return png;
}

// Two PNGs between filler; they come out as ANT0000.PNG and ANT0001.PNG.
Bytes TwoPngs() {
  return Join({Filler(100), Png(), Filler(100, 2), Png(), Filler(100, 3)});
}

// Writes the input as ScanOnly will, so that links to it can be planted before the scan.
void ScanPngsWith(ScanRun& run, const std::function<void(const std::string& input)>& plant) {
  const Bytes data = TwoPngs();
  WriteFile(run.dir.File("input.bin"), data);
  plant(run.dir.File("input.bin"));
  ScanOnly(run, {Kind::Png}, data);
  EXPECT_EQ(ReadFile(run.input), data);
}

std::vector<std::string> OutputNames(const ScanRun& run) {
  std::vector<std::string> names;
  for (const OutputRecord& out : run.host.outputs) names.push_back(out.name);
  return names;
}

TEST(OutputLinks, NamesThatPointElsewhereAreReplacedAndTheirTargetsKept) {
  struct Case {
    const char* what;
    std::function<void(const std::string& name, const ScratchDir& elsewhere)> plant;
  };
  const Case cases[] = {
      {"link to a file",
       [](const std::string& name, const ScratchDir& elsewhere) {
         fs::create_symlink(elsewhere.File("precious"), name);
       }},
      {"link to a missing file",
       [](const std::string& name, const ScratchDir& elsewhere) {
         fs::create_symlink(elsewhere.File("missing"), name);
       }},
      {"link to a folder",
       [](const std::string& name, const ScratchDir& elsewhere) {
         fs::create_symlink(elsewhere.File("folder"), name);
       }},
      {"link to a link to a file",
       [](const std::string& name, const ScratchDir& elsewhere) {
         fs::create_symlink(elsewhere.File("precious"), elsewhere.File("link"));
         fs::create_symlink(elsewhere.File("link"), name);
       }},
      {"hard link to a file",
       [](const std::string& name, const ScratchDir& elsewhere) {
         fs::create_hard_link(elsewhere.File("precious"), name);
       }},
      {"older output, longer than the new one",
       [](const std::string& name, const ScratchDir&) {
         WriteFile(name, Filler(Png().size() * 2));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir elsewhere;
    WriteText(elsewhere.File("precious"), "keep me");
    fs::create_directory(elsewhere.File("folder"));
    ScanRun run;
    const std::string name = run.dir.File("ANT0000.PNG");
    c.plant(name, elsewhere);
    const auto before = TreeSnapshot(elsewhere.path());
    ScanPngsWith(run, [](const std::string&) {});
    EXPECT_TRUE(run.host.failed.empty());
    EXPECT_EQ(OutputNames(run), (std::vector{name, run.dir.File("ANT0001.PNG")}));
    ExpectFileOfItsOwn(name, Png());
    EXPECT_EQ(TreeSnapshot(elsewhere.path()), before);
  }
}

TEST(OutputLinks, NameThatIsTheInputIsPassedOver) {
  const std::function<void(const std::string&, const std::string&)> links[] = {
      [](const std::string& input, const std::string& name) { fs::create_symlink(input, name); },
      [](const std::string& input, const std::string& name) { fs::create_hard_link(input, name); },
  };
  for (const auto& link : links) {
    ScanRun run;
    const std::string name = run.dir.File("ANT0000.PNG");
    ScanPngsWith(run, [&](const std::string& input) { link(input, name); });
    EXPECT_TRUE(run.host.failed.empty());
    EXPECT_EQ(OutputNames(run),
              (std::vector{run.dir.File("ANT0001.PNG"), run.dir.File("ANT0002.PNG")}));
    ExpectFileOfItsOwn(run.dir.File("ANT0001.PNG"), Png());
    EXPECT_TRUE(fs::equivalent(name, run.input));
  }
}

// A folder or a FIFO under the name: that output fails, its number stays used, and the scan
// goes on. A FIFO without a reader must not block the scan; one with a reader gets nothing.
TEST(OutputLinks, NamesThatAreNoRegularFileFailThatOutput) {
  enum class Plant { Folder, Fifo, FifoWithReader };
  for (Plant plant : {Plant::Folder, Plant::Fifo, Plant::FifoWithReader}) {
    SCOPED_TRACE(static_cast<int>(plant));
    ScanRun run;
    const std::string name = run.dir.File("ANT0000.PNG");
    int reader = -1;
    ScanPngsWith(run, [&](const std::string&) {
      if (plant == Plant::Folder) {
        fs::create_directory(name);
        return;
      }
      ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0);
      if (plant == Plant::FifoWithReader) {
        reader = ::open(name.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
      }
    });
    EXPECT_EQ(run.host.failed, std::vector<std::string>{name});
    EXPECT_EQ(OutputNames(run), std::vector{run.dir.File("ANT0001.PNG")});
    ExpectFileOfItsOwn(run.dir.File("ANT0001.PNG"), Png());
    EXPECT_EQ(fs::symlink_status(name).type(),
              plant == Plant::Folder ? fs::file_type::directory : fs::file_type::fifo);
    if (reader >= 0) {
      char byte;
      EXPECT_LE(::read(reader, &byte, 1), 0);
      ::close(reader);
    }
  }
}

}  // namespace
}  // namespace sorvend::test
