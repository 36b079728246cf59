// Whatever happens to a job (a kill, a stop, a second job, another process
// cutting its input), the output's names hold what they held before or the
// complete new output, and the user is told which.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

#include "TestRasters.h"
#include "dataset/DataSet.h"
#include "text/FileNames.h"

using namespace mirava;
using namespace mirava::test;

extern char** environ;

namespace {

// mirava-cli running in the background, its output collected in a file.
class Job {
 public:
  Job(const TempDir& dir, const std::vector<std::string>& args) : Log(dir / "job.log") {
    std::vector<std::string> all{MIRAVA_CLI};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    EXPECT_EQ(posix_spawn(&Pid, all[0].c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Job() {
    if (Pid > 0) {
      kill(Pid, SIGKILL);
      Wait();
    }
  }
  void Signal(int signal) {
    if (Pid > 0) kill(Pid, signal);
  }
  bool Running() { return Pid > 0 && !Reap(WNOHANG); }
  // The exit status, or 128 + the signal that ended it.
  int Wait() {
    if (Pid > 0) Reap(0);
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
  }
  std::string Output() const { return ReadText(Log); }

 private:
  bool Reap(int options) {
    if (waitpid(Pid, &Status, options) != Pid) return false;
    Pid = -1;
    return true;
  }
  pid_t Pid = -1;
  int Status = 0;
  std::string Log;
};

std::vector<std::string> Temporaries(const TempDir& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir.str(), error)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(".mirava-") && name.ends_with(".tmp")) names.push_back(entry.path());
  }
  return names;
}

bool HasTemporary(const TempDir& dir) { return !Temporaries(dir).empty(); }

// Waits until a temporary holds more than a world file's bytes: a JPEG or
// ECW output, which holds nothing until it encodes its rows as it closes,
// is being encoded. False when the job ended first.
bool AwaitEncoding(const TempDir& dir, Job& job) {
  for (;;) {
    for (const std::string& name : Temporaries(dir)) {
      std::error_code error;
      if (std::filesystem::file_size(name, error) > 4096 && !error) return true;
    }
    if (!job.Running()) return false;
  }
}

// Waits until the job made its first file (it has begun its output); false
// when it ended first.
bool AwaitTemporary(const TempDir& dir, Job& job) {
  while (!HasTemporary(dir))
    if (!job.Running()) return false;
  return true;
}

// What the output's names hold: each existing file's bytes by name, but
// for the time ER Mapper and OSD headers record.
std::map<std::string, std::vector<uint8_t>> Holdings(const std::string& output) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const std::string& name : FormatFiles(FormatFromExtension(output), output, true)) {
    if (!Exists(name)) continue;
    std::vector<uint8_t> bytes = ReadBytes(name);
    const std::string text(bytes.begin(), bytes.end());
    const size_t stamp = text.find("LastUpdated = ");
    if (stamp != std::string::npos)
      bytes.erase(bytes.begin() + static_cast<ptrdiff_t>(stamp),
                  bytes.begin() + static_cast<ptrdiff_t>(text.find('\n', stamp)));
    files[name] = std::move(bytes);
  }
  return files;
}

TestRaster Picture(uint32_t columns, uint32_t rows, uint32_t bands) {
  TestRaster raster;
  raster.Columns = columns;
  raster.Rows = rows;
  raster.Bands = bands;
  raster.Extra =
      "\t\tWarpControl Begin\n\t\t\tControlPoints = {\n\t\t\t\tA Yes No 1 1 5 50 0\n"
      "\t\t\t}\n\t\tWarpControl End\n";
  return raster;
}

// A raster large enough for a job to take a while (one band of bytes, 128
// MiB), yet quick to make: its data file is sparse but for a row of values
// at its start and end.
void WriteLargeErs(const std::string& header) {
  TestRaster raster = Picture(16384, 8192, 1);
  raster.Rows = 1;
  WriteErs(header, raster);
  std::string text = ReadText(header);
  text.replace(text.find("NrOfLines = 1\n"), 14, "NrOfLines = 8192\n");
  WriteText(header, text);
  const std::string data = header.substr(0, header.rfind('.'));
  const std::vector<uint8_t> row = ReadBytes(data);
  std::filesystem::resize_file(data, uint64_t{16384} * 8192);
  std::fstream file(data, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(uint64_t{16384} * 8191);
  file.write(reinterpret_cast<const char*>(row.data()), static_cast<std::streamsize>(row.size()));
}

TestRaster Heights(uint32_t side) {
  TestRaster raster = Picture(side, side, 1);
  raster.CellType = "Signed16BitInteger";
  raster.Width = 2;
  raster.Signed = true;
  return raster;
}

// Kills a job re-writing `output` from `input` at several moments. Each
// name must then hold its former file or its complete new one (`renewed`),
// never a part: the job's files are renamed one by one when it is done, the
// output's own name last, so a kill in those few calls can find some names
// renewed, but never the output's own name before the others.
void KillAtSeveralMoments(const TempDir& dir, const std::string& input, const std::string& output,
                          const std::map<std::string, std::vector<uint8_t>>& renewed) {
  const auto former = Holdings(output);
  auto holds = [](const std::map<std::string, std::vector<uint8_t>>& files, const std::string& name,
                  const std::vector<uint8_t>* bytes) {
    return files.contains(name) ? bytes && *bytes == files.at(name) : !bytes;
  };
  int killedMidway = 0;
  for (const int moment : {0, 1, 2, 3, 4}) {
    // What the last kill left would pass for this job's first file.
    for (const std::string& name : Temporaries(dir)) std::filesystem::remove(name);
    Job job(dir, {input, output, "/5"});
    if (moment == 0) {
      job.Signal(SIGKILL);
    } else {
      const bool begun = AwaitTemporary(dir, job);
      std::this_thread::sleep_for(std::chrono::milliseconds(moment == 1 ? 0 : 1 << moment));
      job.Signal(SIGKILL);
      killedMidway += begun;
    }
    const int status = job.Wait();
    EXPECT_TRUE(status == 0 || status == 128 + SIGKILL) << output << ": " << job.Output();
    const auto now = Holdings(output);
    bool companionFormer = false, ownNew = false;
    for (const std::string& name : FormatFiles(FormatFromExtension(output), output, true)) {
      const std::vector<uint8_t>* bytes = now.contains(name) ? &now.at(name) : nullptr;
      const bool wasFormer = holds(former, name, bytes), isNew = holds(renewed, name, bytes);
      EXPECT_TRUE(wasFormer || isNew) << name << " holds a part after a kill at moment " << moment;
      if (name == output)
        ownNew = isNew && !wasFormer;
      else
        companionFormer = companionFormer || (wasFormer && !isNew);
    }
    EXPECT_FALSE(ownNew && companionFormer) << output << " published before its other files";
    if (status == 0) {
      EXPECT_TRUE(now == renewed) << output;
    }
    // Back to the former files for the next moment.
    for (const std::string& name : FormatFiles(FormatFromExtension(output), output, true))
      std::filesystem::remove(name);
    for (const auto& [name, bytes] : former) WriteBytes(name, bytes);
  }
  EXPECT_GT(killedMidway, 0) << output;
}

}  // namespace

TEST(Publish, AKilledJobLeavesTheFormerOutputOrNone) {
  TempDir dir;
  WriteErs(dir / "picture.ers", Picture(1500, 1000, 3));
  // Heights on the tile N45E006, which alone an HGT output of them can be.
  TestRaster tile = Heights(1201);
  tile.CellInfo =
      "\t\tCellInfo Begin\n\t\t\tXdimension = 0.000833333333333333\n"
      "\t\t\tYdimension = 0.000833333333333333\n\t\tCellInfo End\n"
      "\t\tRegistrationCoord Begin\n\t\t\tEastings = 5.999583333333333\n"
      "\t\t\tNorthings = 46.00041666666667\n\t\tRegistrationCoord End\n";
  WriteErs(dir / "heights.ers", tile);
  const std::vector<std::pair<std::string, std::string>> outputs = {
      {"picture.ers", "o.ers"}, {"picture.ers", "o.osd"},      {"picture.ers", "o.tif"},
      {"picture.ers", "o.bmp"}, {"picture.ers", "o.jpg"},      {"picture.ers", "o.ecw"},
      {"picture.ers", "o.rsw"}, {"heights.ers", "o.dtm"},      {"heights.ers", "o.001"},
      {"heights.ers", "o.veg"}, {"heights.ers", "N45E006.hgt"}};
  auto removeOutput = [&](const std::string& output) {
    for (const std::string& name : FormatFiles(FormatFromExtension(output), dir / output, true))
      std::filesystem::remove(name);
  };
  for (const auto& [input, output] : outputs) {
    CommandResult made = RunCli({dir / input, dir / output, "/5"});
    ASSERT_EQ(made.ExitCode, 0) << output << ": " << made.Output;
    const auto renewed = Holdings(dir / output);
    removeOutput(output);
    // Over nothing: no file under the output's names after a kill.
    KillAtSeveralMoments(dir, dir / input, dir / output, renewed);
    removeOutput(output);
    // Over a good output.
    made = RunCli({dir / input, dir / output});
    ASSERT_EQ(made.ExitCode, 0) << output << ": " << made.Output;
    KillAtSeveralMoments(dir, dir / input, dir / output, renewed);
    // A kill between two renames leaves a journal that only the next job on
    // these names completes.
    made = RunCli({dir / input, dir / output});
    ASSERT_EQ(made.ExitCode, 0) << output << ": " << made.Output;
    removeOutput(output);
  }
  // The next job on these names removes what a killed one left.
  WriteLargeErs(dir / "large.ers");
  Job killed(dir, {dir / "large.ers", dir / "o.ers"});
  ASSERT_TRUE(AwaitTemporary(dir, killed));
  killed.Signal(SIGKILL);
  killed.Wait();
  ASSERT_TRUE(HasTemporary(dir));
  CommandResult r = RunCli({dir / "picture.ers", dir / "o.ers"});
  EXPECT_EQ(r.ExitCode, 0) << r.Output;
  for (const auto& entry : std::filesystem::directory_iterator(dir.str()))
    EXPECT_FALSE(entry.path().filename().string().starts_with(".mirava-")) << entry.path();
}

TEST(Publish, ASecondJobOnTheSameOutputIsRefusedAtOnce) {
  TempDir dir;
  WriteLargeErs(dir / "in.ers");
  Job first(dir, {dir / "in.ers", dir / "out.ers"});
  ASSERT_TRUE(AwaitTemporary(dir, first));
  first.Signal(SIGSTOP);
  for (const std::string& output : {dir / "out.ers", dir / "out.tif"}) {
    CommandResult second = RunCli({dir / "in.ers", output, "/1"});
    EXPECT_EQ(second.ExitCode, 1);
    EXPECT_NE(second.Output.find("Another job is writing " + dir / "out.ers"), std::string::npos)
        << second.Output;
  }
  first.Signal(SIGCONT);
  EXPECT_EQ(first.Wait(), 0) << first.Output();
  EXPECT_EQ(test::Run("cmp " + Quote(dir / "out") + " " + Quote(dir / "in")).ExitCode, 0);
  EXPECT_FALSE(Exists(dir / "out.tif"));
}

TEST(Publish, AnInputCutShortDuringTheJobIsAFailure) {
  TempDir dir;
  for (const bool former : {false, true}) {
    if (former) WriteText(dir / "out.ers", "a former header");
    WriteLargeErs(dir / "in.ers");
    Job job(dir, {dir / "in.ers", dir / "out.ers", "/2"});
    ASSERT_TRUE(AwaitTemporary(dir, job));
    job.Signal(SIGSTOP);
    std::filesystem::resize_file(dir / "in", 16384 * 100);
    job.Signal(SIGCONT);
    EXPECT_EQ(job.Wait(), 1);
    const std::string output = job.Output();
    EXPECT_NE(output.find("Input " + dir / "in" +
                          " changed while it was read: another process cut it short"),
              std::string::npos)
        << output;
    if (former) {
      EXPECT_NE(output.find("Output " + dir / "out.ers" + " was left as it was before the job"),
                std::string::npos)
          << output;
      EXPECT_EQ(ReadText(dir / "out.ers"), "a former header");
    } else {
      EXPECT_NE(output.find("No output was written"), std::string::npos) << output;
      EXPECT_FALSE(Exists(dir / "out.ers"));
    }
    EXPECT_FALSE(Exists(dir / "out"));
    EXPECT_FALSE(Exists(dir / "out.gcp"));
  }
}

TEST(Publish, AStoppedJobKeepsAFormerOutputAndPublishesANewOne) {
  TempDir dir;
  WriteLargeErs(dir / "in.ers");
  for (const std::string& output : {dir / "o.jpg", dir / "o.ers"}) {
    for (const bool former : {true, false}) {
      if (former) {
        ASSERT_EQ(RunCli({dir / "in.ers", output}).ExitCode, 0);
      }
      const auto before = Holdings(output);
      Job job(dir, {dir / "in.ers", output, "/3"});
      ASSERT_TRUE(AwaitTemporary(dir, job));
      job.Signal(SIGSTOP);
      job.Signal(SIGINT);
      job.Signal(SIGCONT);
      EXPECT_EQ(job.Wait(), 130);
      const std::string text = job.Output();
      if (former) {
        EXPECT_NE(text.find("User Abort\nOutput " + output + " was left as it was before the job"),
                  std::string::npos)
            << text;
        EXPECT_TRUE(Holdings(output) == before) << output;
      } else {
        EXPECT_NE(text.find("User Abort\nOutput " + output + " holds "), std::string::npos) << text;
        // The rows copied were encoded whole: the output has its full size.
        TDataSet2 partial;
        ASSERT_TRUE(partial.Open(output, 0, 0, 1, 1, omRead)) << partial.Error().Text;
        EXPECT_EQ(partial.GetColumnCount(), 8192);
        EXPECT_EQ(partial.GetRowCount(), 16384);
      }
      for (const std::string& name : FormatFiles(FormatFromExtension(output), output, true))
        std::filesystem::remove(name);
    }
  }
}

// JPEG and ECW encode their rows as the output closes. A stop then ends the
// encoding and the job, and what was half encoded is never published: a
// former output stays byte for byte, otherwise no file is left.
TEST(Publish, AStopWhileEncodingPublishesNothing) {
  TempDir dir;
  WriteLargeErs(dir / "in.ers");
  for (const std::string& output : {dir / "o.jpg", dir / "o.ecw"}) {
    for (const bool former : {true, false}) {
      if (former) {
        ASSERT_EQ(RunCli({dir / "in.ers", output}).ExitCode, 0);
      }
      const auto before = Holdings(output);
      Job job(dir, {dir / "in.ers", output, "/3"});
      ASSERT_TRUE(AwaitEncoding(dir, job)) << output << ": " << job.Output();
      job.Signal(SIGSTOP);
      job.Signal(SIGINT);
      job.Signal(SIGCONT);
      EXPECT_EQ(job.Wait(), 130) << job.Output();
      const std::string text = job.Output();
      const std::string state = former ? "Output " + output + " was left as it was before the job"
                                       : "No output was written";
      EXPECT_NE(text.find("User Abort\n" + state), std::string::npos) << text;
      EXPECT_TRUE(Holdings(output) == before) << output;
      EXPECT_FALSE(HasTemporary(dir)) << output;
      for (const std::string& name : FormatFiles(FormatFromExtension(output), output, true))
        std::filesystem::remove(name);
    }
  }
}

// A JPEG placed without loss is read and written whole by the codec; a stop
// ends it midway, and nothing is published.
TEST(Publish, AStopWhilePlacingAJpegPublishesNothing) {
  TempDir dir;
  WriteErs(dir / "picture.ers", Picture(4096, 4096, 3));
  ASSERT_EQ(RunCli({dir / "picture.ers", dir / "in.jpg"}).ExitCode, 0);
  const std::string output = dir / "o.jpg";
  for (const bool former : {true, false}) {
    if (former) {
      ASSERT_EQ(RunCli({dir / "in.jpg", output, "/1"}).ExitCode, 0);
    }
    const auto before = Holdings(output);
    Job job(dir, {dir / "in.jpg", output, "/3"});
    ASSERT_TRUE(AwaitTemporary(dir, job)) << job.Output();
    job.Signal(SIGSTOP);
    job.Signal(SIGINT);
    job.Signal(SIGCONT);
    EXPECT_EQ(job.Wait(), 130) << job.Output();
    const std::string text = job.Output();
    EXPECT_NE(text.find("Placed without loss"), std::string::npos) << text;
    const std::string state = former ? "Output " + output + " was left as it was before the job"
                                     : "No output was written";
    EXPECT_NE(text.find("User Abort\n" + state), std::string::npos) << text;
    EXPECT_TRUE(Holdings(output) == before);
    EXPECT_FALSE(HasTemporary(dir));
    for (const std::string& name : FormatFiles(FormatFromExtension(output), output, true))
      std::filesystem::remove(name);
  }
}

TEST(Publish, RefusalsLeaveAFormerOutputAlone) {
  TempDir dir;
  const std::string oblong =
      "\t\tCellInfo Begin\n\t\t\tXdimension = 2\n\t\t\tYdimension = 3\n\t\tCellInfo End\n";
  TestRaster heights = Heights(40), picture = Picture(40, 40, 3);
  WriteErs(dir / "heights.ers", heights);
  WriteErs(dir / "picture.ers", picture);
  heights.CellInfo = picture.CellInfo = oblong;
  WriteErs(dir / "oblong-heights.ers", heights);
  WriteErs(dir / "oblong-picture.ers", picture);
  for (const std::string& output : {dir / "o.001", dir / "o.veg", dir / "o.rsw"}) {
    const std::string kind = output.ends_with(".rsw") ? "picture.ers" : "heights.ers";
    ASSERT_EQ(RunCli({dir / kind, output}).ExitCode, 0) << output;
    const auto before = Holdings(output);
    CommandResult r = RunCli({dir / ("oblong-" + kind), output});
    EXPECT_EQ(r.ExitCode, 1) << r.Output;
    EXPECT_NE(r.Output.find("square cells"), std::string::npos) << r.Output;
    EXPECT_NE(r.Output.find("Output " + output + " was left as it was before the job"),
              std::string::npos)
        << r.Output;
    EXPECT_TRUE(Holdings(output) == before) << output;
  }
}

TEST(Publish, NamesThatCannotBeAnOutputAreRefusedBeforeAnyCell) {
  TempDir dir;
  WriteErs(dir / "in.ers", Picture(30, 20, 3));
  WriteText(dir / "out.bmpw", "precious");
  CommandResult clash = RunCli({dir / "in.ers", dir / "out.bmpw"});
  EXPECT_EQ(clash.ExitCode, 1);
  EXPECT_NE(clash.Output.find("Unknown output format for " + dir / "out.bmpw"), std::string::npos)
      << clash.Output;
  EXPECT_EQ(ReadText(dir / "out.bmpw"), "precious");

  std::filesystem::create_directory(dir / "folder.jpg");
  CommandResult folder = RunCli({dir / "in.ers", dir / "folder.jpg"});
  EXPECT_EQ(folder.ExitCode, 1);
  EXPECT_NE(folder.Output.find("Output " + dir / "folder.jpg" + " is a folder"), std::string::npos)
      << folder.Output;
  EXPECT_FALSE(Exists(dir / "folder.jgw"));

  CommandResult missing = RunCli({dir / "in.ers", dir / "none/o.ecw"});
  EXPECT_EQ(missing.ExitCode, 1);
  EXPECT_NE(missing.Output.find("Output folder " + dir / "none" + " does not exist"),
            std::string::npos)
      << missing.Output;

  // A JPEG name of 255 bytes, the longest the file system takes.
  const std::string longest = dir / (std::string(251, 'j') + ".jpg");
  CommandResult jpeg = RunCli({dir / "in.ers", longest});
  EXPECT_EQ(jpeg.ExitCode, 0) << jpeg.Output;
  EXPECT_TRUE(Exists(longest));
  EXPECT_TRUE(Exists(ChangeFileExt(longest, ".jgw")));
}

TEST(Publish, NoLinkAtATemporaryNameIsFollowed) {
  TempDir dir;
  WriteErs(dir / "in.ers", Picture(30, 20, 3));
  WriteText(dir / "victim", "precious");
  for (const char* name : {"o.jpg.part", "o.ecw.part", "o.jpg.tmp", ".mirava-tmp"})
    std::filesystem::create_symlink(dir / "victim", dir / name);
  for (const char* output : {"o.jpg", "o.ecw"}) {
    CommandResult r = RunCli({dir / "in.ers", dir / output});
    EXPECT_EQ(r.ExitCode, 0) << r.Output;
  }
  EXPECT_EQ(ReadText(dir / "victim"), "precious");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "o.jpg.part"));
}

// m.tif.ers keeps its cells in m.tif, x.ers.ers in x.ers: outputs under
// other names that share a file are locked against each other.
TEST(Publish, OutputsThatShareAFileAreLockedAgainstEachOther) {
  TempDir dir;
  WriteLargeErs(dir / "in.ers");
  for (const auto& [first, second] : {std::pair{"m.tif.ers", "m.tif"}, {"x.ers", "x.ers.ers"}}) {
    Job job(dir, {dir / "in.ers", dir / first});
    ASSERT_TRUE(AwaitTemporary(dir, job));
    job.Signal(SIGSTOP);
    CommandResult r = RunCli({dir / "in.ers", dir / second, "/1"});
    EXPECT_EQ(r.ExitCode, 1) << r.Output;
    EXPECT_NE(r.Output.find("Another job is writing " + dir / first + ", which shares "),
              std::string::npos)
        << r.Output;
    job.Signal(SIGCONT);
    EXPECT_EQ(job.Wait(), 0) << job.Output();
  }
}

// An extension no format owns is no output, whatever format's it begins
// with; an upper-case one is the format's, the header under the name given.
TEST(Publish, OutputsAreWrittenUnderTheNamesGiven) {
  TempDir dir;
  TestRaster heights = Heights(40);
  heights.Extra.clear();
  WriteErs(dir / "in.ers", heights);
  for (const char* former : {"o.ers", "o.osd", "o.001", "o.002", "o"})
    WriteText(dir / former, "precious");
  for (const char* output : {"o.ersx", "o.osdx", "o.0011", "o.gif", "o.tif2"}) {
    CommandResult r = RunCli({dir / "in.ers", dir / output, "/1"});
    EXPECT_EQ(r.ExitCode, 1) << r.Output;
    EXPECT_NE(r.Output.find("Unknown output format for " + dir / output), std::string::npos)
        << r.Output;
    EXPECT_FALSE(Exists(dir / output));
  }
  for (const char* former : {"o.ers", "o.osd", "o.001", "o.002", "o"})
    EXPECT_EQ(ReadText(dir / former), "precious") << former;
  CommandResult r = RunCli({dir / "in.ers", dir / "U.ERS"});
  EXPECT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_TRUE(Exists(dir / "U.ERS"));
  EXPECT_TRUE(Exists(dir / "U"));
  EXPECT_FALSE(Exists(dir / "U.ers"));
}

namespace {

bool NothingOfOursLeft(const std::string& folder) {
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().filename().string().starts_with(".mirava-")) return false;
  return true;
}

}  // namespace

// A rename that cannot succeed (over an immutable file, or over another
// user's in a sticky folder) is found before any: every name keeps its
// former file, as the job then says.
TEST(Publish, APublishThatCannotBeDoneLeavesTheFormerOutputWhole) {
  TempDir dir;
  WriteErs(dir / "in.ers", Picture(30, 20, 3));
  WriteErs(dir / "other.ers", Picture(20, 30, 3));
  const std::string tif = dir / "o.tif";
  ASSERT_EQ(RunCli({dir / "in.ers", tif}).ExitCode, 0);
  WriteText(dir / "o.tfw", "a former world file");
  const auto before = Holdings(tif);
  ASSERT_TRUE(before.contains(dir / "o.gcp"));
  if (test::Run("chattr +i " + Quote(tif)).ExitCode == 0) {
    CommandResult r = RunCli({dir / "other.ers", tif, "/1"});
    test::Run("chattr -i " + Quote(tif));
    EXPECT_EQ(r.ExitCode, 1) << r.Output;
    EXPECT_NE(r.Output.find("Output " + tif + " not published: " + tif +
                            " cannot be replaced: it is immutable (chattr +i)\nOutput " + tif +
                            " was left as it was before the job"),
              std::string::npos)
        << r.Output;
    EXPECT_TRUE(Holdings(tif) == before);
    EXPECT_TRUE(NothingOfOursLeft(dir.str()));
  }
  if (geteuid() != 0 || test::Run("runuser --help").ExitCode != 0) return;
  std::filesystem::create_directory(dir / "sticky");
  std::filesystem::permissions(dir / "sticky",
                               std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
  const std::string ers = dir / "sticky/s.ers";
  ASSERT_EQ(RunCli({dir / "in.ers", ers}).ExitCode, 0);
  const auto former = Holdings(ers);
  CommandResult r = test::Run("runuser -u nobody -- " + std::string(MIRAVA_CLI) + " " +
                              Quote(dir / "other.ers") + " " + Quote(ers) + " /1 </dev/null");
  EXPECT_EQ(r.ExitCode, 1) << r.Output;
  EXPECT_NE(r.Output.find(" cannot be replaced: it belongs to another user"), std::string::npos)
      << r.Output;
  EXPECT_NE(r.Output.find("Output " + ers + " was left as it was before the job"),
            std::string::npos)
      << r.Output;
  EXPECT_TRUE(Holdings(ers) == former);
  EXPECT_TRUE(NothingOfOursLeft(dir / "sticky"));
}

// A kill between the renames leaves some names renewed; the next job on any
// of these files puts the former files back before it begins (here one
// whose input is missing, which does nothing else).
TEST(Publish, AKillBetweenRenamesIsUndoneByTheNextJob) {
  if (test::Run("strace -V").ExitCode != 0) GTEST_SKIP() << "strace not installed";
  TempDir dir;
  WriteErs(dir / "in.ers", Picture(30, 20, 3));
  WriteErs(dir / "other.ers", Picture(20, 30, 3));
  for (const std::string& output : {dir / "o.ers", dir / "o.jpg"}) {
    ASSERT_EQ(RunCli({dir / "in.ers", output}).ExitCode, 0);
    const auto before = Holdings(output);
    test::Run(
        "strace -f -o /dev/null -e trace=renameat,renameat2 "
        "-e inject=renameat,renameat2:signal=KILL:when=2 " +
        std::string(MIRAVA_CLI) + " " + Quote(dir / "other.ers") + " " + Quote(output) +
        " /1 </dev/null");
    bool journal = false;
    for (const auto& entry : std::filesystem::directory_iterator(dir.str()))
      journal = journal || entry.path().string().ends_with(".journal");
    EXPECT_TRUE(journal) << output << ": not killed between its renames";
    CommandResult next = RunCli({dir / "none.ers", output});
    EXPECT_EQ(next.ExitCode, 1) << next.Output;
    EXPECT_TRUE(Holdings(output) == before) << output;
    EXPECT_TRUE(NothingOfOursLeft(dir.str())) << output;
  }
}

// The commonest command: an output beside its input under the same base
// name, in every output format. Only a file that exists and belongs to the
// input stops it.
TEST(Publish, OutputsBesideTheInputUnderItsBaseName) {
  TempDir dir;
  TestRaster picture = Picture(40, 30, 3), heights = Heights(1201);
  picture.Extra.clear();
  heights.Extra.clear();
  // On the tile N45E006, whose name an HGT output must have.
  heights.CellInfo =
      "\t\tCellInfo Begin\n\t\t\tXdimension = 0.000833333333333333\n"
      "\t\t\tYdimension = 0.000833333333333333\n\t\tCellInfo End\n"
      "\t\tRegistrationCoord Begin\n\t\t\tEastings = 5.999583333333333\n"
      "\t\t\tNorthings = 46.00041666666667\n\t\tRegistrationCoord End\n";
  WriteErs(dir / "p.ers", picture);
  WriteErs(dir / "h.ers", heights);
  ASSERT_EQ(RunCli({dir / "p.ers", dir / "map.tif"}).ExitCode, 0);
  ASSERT_EQ(RunCli({dir / "h.ers", dir / "N45E006.tif"}).ExitCode, 0);
  ASSERT_EQ(RunCli({dir / "p.ers", dir / "p.tif"}).ExitCode, 0);
  for (const char* output : {"map.ers", "map.osd", "map.bmp", "map.jpg", "map.ecw", "map.rsw",
                             "N45E006.dtm", "N45E006.001", "N45E006.veg", "N45E006.hgt"}) {
    const std::string input = ChangeFileExt(dir / output, ".tif");
    CommandResult r = RunCli({input, dir / output, "/5"});
    EXPECT_EQ(r.ExitCode, 0) << output << ": " << r.Output;
  }
  WriteText(dir / "map.gcp", "\"A\" Yes 1 1 5 50 0\r\n");
  CommandResult r = RunCli({dir / "map.tif", dir / "map.ers", "/3"});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Output.find("The output would overwrite " + dir / "map.gcp" +
                          ", which belongs to the input"),
            std::string::npos)
      << r.Output;
}
