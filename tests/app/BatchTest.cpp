#include "app/Batch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <set>

#include "TestRasters.h"
#include "TestUtil.h"

using namespace mirava;
using namespace mirava::test;

namespace {

bool Mentions(const std::vector<std::string>& errors, const std::string& text) {
  for (const std::string& e : errors)
    if (e.find(text) != std::string::npos) return true;
  return false;
}

std::string Joined(const std::vector<std::string>& errors) {
  std::string all;
  for (const std::string& e : errors) all += e + "\n";
  return all;
}

// A file's bytes, less the time an ER Mapper header was written at.
std::string Content(const std::string& path) {
  return std::regex_replace(ReadText(path), std::regex("\n  LastUpdated = [^\n]*"), "");
}

// The visible files of a folder, by name.
std::set<std::string> Listing(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& f : std::filesystem::directory_iterator(folder))
    if (f.path().filename().string()[0] != '.') names.insert(f.path().filename().string());
  return names;
}

// An ER Mapper header over a sparse data file: large, yet quick to make.
void WriteSparseErs(const std::string& header, uint32_t side) {
  TestRaster testRaster;
  testRaster.Bands = 1;
  WriteErs(header, testRaster);
  std::string text = ReadText(header);
  text =
      std::regex_replace(text, std::regex("NrOfLines = 3"), "NrOfLines = " + std::to_string(side));
  text = std::regex_replace(text, std::regex("NrOfCellsPerLine = 5"),
                            "NrOfCellsPerLine = " + std::to_string(side));
  WriteText(header, text);
  std::filesystem::resize_file(header.substr(0, header.size() - 4), uint64_t{side} * side);
}

}  // namespace

TEST(BatchCommandLine, SingleJobLinesStaySingleJobs) {
  EXPECT_FALSE(IsBatchCommandLine({"in.ers", "out.tif", "/3", "/F"}));
  EXPECT_FALSE(IsBatchCommandLine({"/data/in.ers", "/data/out.tif", "-3"}));
  EXPECT_TRUE(IsBatchCommandLine({"-o", "out", "-e", "tif", "a.ers"}));
  EXPECT_TRUE(IsBatchCommandLine({"--list", "jobs.txt"}));
  EXPECT_TRUE(IsBatchCommandLine({"a.ers", "b.ers", "-j", "2"}));
}

TEST(BatchCommandLine, OptionsAndRefusals) {
  TBatchSettings s;
  ASSERT_EQ(ParseBatchCommandLine({"-o", "out", "-e", "tif", "-j", "3", "/3", "--skip-existing",
                                   "--report", "r.csv", "a.ers", "/data/b.ers", "/F"},
                                  s),
            "");
  EXPECT_EQ(s.OutputFolder, "out");
  EXPECT_EQ(s.Extension, ".tif");
  EXPECT_EQ(s.Jobs, 3u);
  EXPECT_EQ(s.Kind, 3);
  EXPECT_TRUE(s.SkipExisting);
  EXPECT_FALSE(s.StopOnError);
  EXPECT_EQ(s.ReportName, "r.csv");
  EXPECT_EQ(s.InputNames, (std::vector<std::string>{"a.ers", "/data/b.ers"}));

  TBatchSettings list;
  ASSERT_EQ(ParseBatchCommandLine({"-l", "-", "--slice", "2/5", "--stop-on-error"}, list), "");
  EXPECT_EQ(list.ListName, "-");
  EXPECT_EQ(list.SliceIndex, 2u);
  EXPECT_EQ(list.SliceCount, 5u);
  EXPECT_TRUE(list.StopOnError);

  auto refusal = [](std::vector<std::string> parameters) {
    TBatchSettings settings;
    return ParseBatchCommandLine(parameters, settings);
  };
  EXPECT_NE(refusal({"-o", "out", "a.ers"}), "");      // no extension
  EXPECT_NE(refusal({"-e", "tif", "a.ers"}), "");      // no folder
  EXPECT_NE(refusal({"-o", "out", "-e", "tif"}), "");  // no inputs
  EXPECT_NE(refusal({"-l", "x.txt", "a.ers"}), "");    // list and inputs
  EXPECT_NE(refusal({"-l", "x.txt", "/3"}), "");       // kinds are the list's
  EXPECT_NE(refusal({"-o", "out", "-e", "tif", "-j", "0", "a"}), "");
  EXPECT_NE(refusal({"-o", "out", "-e", "tif", "/7", "a"}), "");  // no such kind
  EXPECT_NE(refusal({"-o", "out", "-e", "tif", "--jobs"}), "");   // value missing
  EXPECT_NE(refusal({"-l", "x", "--slice", "5/5"}), "");
  EXPECT_EQ(refusal({"-o", "out", "-e", "tif", "--frobnicate", "a"}),
            "unknown option --frobnicate");
  EXPECT_NE(refusal({"-o", "out", "-e", "tif", "--memory=lots", "a"}), "");

  TBatchSettings memory;
  ASSERT_EQ(ParseBatchCommandLine({"-l", "x", "--memory=512"}, memory), "");
  EXPECT_EQ(memory.MemoryMiB, 512u);

  TBatchSettings jpeg;
  ASSERT_EQ(ParseBatchCommandLine({"-l", "x", "--jpeg-quality=60", "--jpeg-subsampling=422"}, jpeg),
            "");
  EXPECT_EQ(jpeg.Encoding.JpegQuality, 60);
  EXPECT_EQ(jpeg.Encoding.JpegSampling, TChromaSampling::Half);
  EXPECT_NE(refusal({"-l", "x", "--jpeg-quality=0"}), "");
  EXPECT_NE(refusal({"-l", "x", "--jpeg-subsampling=411"}), "");
}

// Jobs at once share the memory one job alone would count on, unless each
// is given its own.
TEST(BatchCommandLine, JobsShareTheMemory) {
  EXPECT_EQ(BatchJobMemory(0, 4, uint64_t{8} << 30), uint64_t{2} << 30);
  EXPECT_EQ(BatchJobMemory(0, 1, uint64_t{8} << 30), uint64_t{8} << 30);
  EXPECT_EQ(BatchJobMemory(512, 4, uint64_t{8} << 30), uint64_t{512} << 20);
}

TEST(BatchList, LinesAndTheirFaults) {
  std::vector<std::string> errors;
  auto entries = ParseBatchList("a.ers\tout/a.tif\t3\r\nb c.tif\tout/b.ers\t0\n", errors);
  EXPECT_TRUE(errors.empty()) << Joined(errors);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].OutputName, "out/a.tif");
  EXPECT_EQ(entries[0].Kind, 3);
  EXPECT_EQ(entries[1].InputName, "b c.tif");
  EXPECT_EQ(entries[1].Origin, "line 2");

  errors.clear();
  entries = ParseBatchList(
      "a.ers\tx.tif\t1\n\nb.ers x.tif 1\n\tx.tif\t1\nc.ers\tc.tif\t7\n"
      "d.ers\td.tif\t1\textra\n",
      errors);
  EXPECT_EQ(entries.size(), 1u);
  EXPECT_TRUE(Mentions(errors, "line 2 is blank")) << Joined(errors);
  EXPECT_TRUE(
      Mentions(errors, "line 3: expected input, output and kind separated by tabs, found 1 field"));
  EXPECT_TRUE(Mentions(errors, "line 4: the input name is empty"));
  EXPECT_TRUE(Mentions(errors, "line 5: the kind \"7\" is not one of 0 to 5"));
  EXPECT_TRUE(
      Mentions(errors, "line 6: expected input, output and kind separated by tabs, found 4"));

  errors.clear();
  ParseBatchList("", errors);
  EXPECT_TRUE(Mentions(errors, "no lines"));
}

TEST(BatchChecks, ClashesAndMissingInputsAreRefused) {
  TempDir dir;
  WriteErs(dir / "a.ers", TestRaster{});
  WriteErs(dir / "b.ers", TestRaster{});
  std::filesystem::create_directories(dir / "folder.ers");
  auto check = [&](const std::vector<TBatchEntry>& entries, const std::string& report = "") {
    std::vector<std::string> errors;
    CheckBatch(entries, report, errors);
    return errors;
  };
  EXPECT_TRUE(check({{dir / "a.ers", dir / "a.tif", 3, "line 1"},
                     {dir / "b.ers", dir / "b.tif", 3, "line 2"}})
                  .empty());

  auto errors = check({{dir / "none.ers", dir / "n.tif", 0, "line 1"},
                       {dir / "folder.ers", dir / "f.tif", 0, "line 2"},
                       {dir / "a.ers", dir / "a.xyz", 0, "line 3"}});
  EXPECT_TRUE(Mentions(errors, "line 1: the input " + dir / "none.ers" + " does not exist"));
  EXPECT_TRUE(Mentions(errors, "line 2: the input " + dir / "folder.ers" + " is not a file"));
  EXPECT_TRUE(Mentions(errors, "line 3: the output " + dir / "a.xyz" + " has no extension"));

  // Two lines writing one output, also through another name of it.
  errors = check({{dir / "a.ers", dir / "x.tif", 0, "line 1"},
                  {dir / "b.ers", dir / "sub/../x.tif", 1, "line 2"}});
  EXPECT_TRUE(Mentions(errors, "line 1 and line 2 both write")) << Joined(errors);
  // Or sharing a data file: x.ers and x.osd both write "x".
  errors = check(
      {{dir / "a.ers", dir / "x.ers", 0, "line 1"}, {dir / "b.ers", dir / "x.osd", 1, "line 2"}});
  EXPECT_TRUE(Mentions(errors, "line 1 and line 2 both write " + dir / "x")) << Joined(errors);

  // An output that is another line's input, or its own (through a link).
  std::filesystem::create_symlink(dir / "b.ers", dir / "link.ers");
  errors = check({{dir / "a.ers", dir / "link.ers", 0, "line 1"},
                  {dir / "b.ers", dir / "c.tif", 0, "line 2"},
                  {dir / "a.ers", dir / "a.osd", 0, "line 3"}});
  EXPECT_TRUE(Mentions(
      errors, "line 1: the output would overwrite " + dir / "link.ers" + ", an input of line 2"))
      << Joined(errors);
  EXPECT_TRUE(
      Mentions(errors, "line 3: the output would overwrite " + dir / "a" + ", its own input"))
      << Joined(errors);

  errors = check({{dir / "a.ers", dir / "c.tif", 0, "line 1"}}, dir / "a");
  EXPECT_TRUE(Mentions(errors, "the report " + dir / "a" + " would overwrite an input of line 1"));
  errors = check({{dir / "a.ers", dir / "c.tif", 0, "line 1"}}, dir / "c.tif");
  EXPECT_TRUE(Mentions(errors, "would overwrite an output of line 1"));

  errors.clear();
  CheckOutputFolders({{dir / "a.ers", dir / "none/c.tif", 0, "line 4"}}, errors);
  EXPECT_TRUE(Mentions(errors, "line 4: the output's folder " + dir / "none" + " does not exist"));
}

TEST(BatchChecks, InputsOfOneBaseNameClash) {
  TBatchSettings s;
  s.InputNames = {"in/map.ers", "other/map.tif", "in/sheet.bmp"};
  s.OutputFolder = "out";
  s.Extension = ".tif";
  auto entries = EntriesForInputs(s);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].OutputName, "out/map.tif");
  EXPECT_EQ(entries[2].OutputName, "out/sheet.tif");
  EXPECT_EQ(entries[1].Origin, "other/map.tif");
  std::vector<std::string> errors;
  CheckBatch(entries, "", errors);
  EXPECT_TRUE(Mentions(errors, "in/map.ers and other/map.tif both write out/map.tif"))
      << Joined(errors);
}

// A record vouches for an output only while every file is as the finished
// job left it, and only for the kind it was made with.
TEST(BatchCompletion, RecordMatchesOnlyTheFinishedFiles) {
  TempDir dir;
  WriteErs(dir / "a.ers", TestRaster{});
  TBatchEntry entry{dir / "a.ers", dir / "o.ers", 1, "line 1"};
  EXPECT_FALSE(OutputComplete(entry));
  ASSERT_EQ(RunCli({entry.InputName, entry.OutputName, "/1"}).ExitCode, 0);
  EXPECT_FALSE(OutputComplete(entry));  // no record: not done by a batch
  ASSERT_TRUE(RecordCompletion(entry));
  EXPECT_EQ(CompletionRecordName(entry.OutputName), dir / ".o.ers.complete");
  EXPECT_TRUE(OutputComplete(entry));

  TBatchEntry otherKind = entry;
  otherKind.Kind = 4;
  EXPECT_FALSE(OutputComplete(otherKind));

  // The data file rewritten (same size): no longer the finished output.
  const auto stamp = std::filesystem::last_write_time(dir / "o");
  std::filesystem::last_write_time(dir / "o", stamp + std::chrono::seconds(1));
  EXPECT_FALSE(OutputComplete(entry));
  ASSERT_TRUE(RecordCompletion(entry));
  // A changed input makes the output stale too.
  std::filesystem::last_write_time(dir / "a", stamp + std::chrono::seconds(5));
  EXPECT_FALSE(OutputComplete(entry));
}

// A folder of mixed inputs into TIFF and into ER Mapper: every file the
// batch writes is byte for byte what the single job writes.
TEST(BatchEndToEnd, MixedFolderMatchesSingleJobs) {
  if (!HaveGdal()) GTEST_SKIP() << "gdal not installed";
  TempDir dir;
  std::filesystem::create_directories(dir / "in");
  const std::string logo = Quote(Sample("logo.tif"));
  ASSERT_EQ(
      test::Run("gdal_translate -q -of GTiff " + logo + " " + Quote(dir / "in/photo.tif")).ExitCode,
      0);
  ASSERT_EQ(
      test::Run("gdal_translate -q -of BMP " + logo + " " + Quote(dir / "in/icon.bmp")).ExitCode,
      0);
  ASSERT_EQ(
      test::Run("gdal_translate -q -of JPEG " + logo + " " + Quote(dir / "in/pic.jpg")).ExitCode,
      0);
  ASSERT_EQ(test::Run("gdal_translate -q -of ERS " + Quote(Sample("elev.ers")) + " " +
                      Quote(dir / "in/grid.ers"))
                .ExitCode,
            0);
  std::filesystem::copy(Sample("luxembourg.ers"), dir / "in/lux.ers");
  std::filesystem::copy(Sample("luxembourg"), dir / "in/lux");
  const std::vector<std::string> inputs = {"photo.tif", "icon.bmp", "pic.jpg", "grid.ers",
                                           "lux.ers"};

  for (const std::string ext : {".tif", ".ers"}) {
    SCOPED_TRACE(ext);
    std::vector<std::string> args = {"-o", dir / ("batch" + ext), "-e", ext, "-j", "2", "/3"};
    std::filesystem::create_directories(dir / ("single" + ext));
    for (const std::string& name : inputs) {
      args.push_back(dir / ("in/" + name));
      const std::string base = name.substr(0, name.find('.'));
      ASSERT_EQ(
          RunCli({dir / ("in/" + name), dir / ("single" + ext + "/" + base + ext), "/3"}).ExitCode,
          0);
    }
    CommandResult r = RunCli(args);
    ASSERT_EQ(r.ExitCode, 0) << r.Output;
    EXPECT_NE(r.Output.find("Batch finished: 5 succeeded, 0 failed, 0 skipped of 5"),
              std::string::npos)
        << r.Output;
    const auto single = Listing(dir / ("single" + ext));
    EXPECT_EQ(Listing(dir / ("batch" + ext)), single);
    // World files, data files, control points: GDAL's BMP and JPEG are
    // placed nowhere (their place is in an ".aux.xml"), and get no world file.
    EXPECT_GE(single.size(), 9u);
    for (const std::string& name : single)
      EXPECT_EQ(Content(dir / ("batch" + ext + "/" + name)),
                Content(dir / ("single" + ext + "/" + name)))
          << name;
  }
}

// A failing file among good ones: the others are done, the summary and the
// report name it, exit status 1.
TEST(BatchEndToEnd, FailureAmongGoodFilesAndReports) {
  TempDir dir;
  TestRaster testRaster;
  testRaster.Bands = 1;
  WriteErs(dir / "a.ers", testRaster);
  WriteErs(dir / "c.ers", testRaster);
  WriteText(dir / "b.ers", "not a header\n");
  WriteText(dir / "jobs.txt", dir / "a.ers\t" + dir / "a.tif\t1\n" + dir / "b.ers\t" +
                                  dir / "b.tif\t1\n" + dir / "c.ers\t" + dir / "c.bmp\t3\n");
  CommandResult r = RunCli({"-l", dir / "jobs.txt", "-j", "2", "--report", dir / "r.jsonl"});
  EXPECT_EQ(r.ExitCode, 1) << r.Output;
  EXPECT_NE(r.Output.find("Batch finished: 2 succeeded, 1 failed, 0 skipped of 3"),
            std::string::npos)
      << r.Output;
  EXPECT_NE(r.Output.find("Failed: " + dir / "b.ers -> " + dir / "b.tif: "), std::string::npos)
      << r.Output;
  EXPECT_NE(r.Output.find("No output was written"), std::string::npos) << r.Output;
  EXPECT_TRUE(Exists(dir / "a.tif"));
  EXPECT_TRUE(Exists(dir / "c.bmp"));
  const std::string report = ReadText(dir / "r.jsonl");
  EXPECT_NE(report.find("{\"input\":\"" + dir / "b.ers\",\"output\":\"" + dir / "b.tif" +
                        "\",\"kind\":1,\"status\":\"failed\",\"result\":\""),
            std::string::npos)
      << report;
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 3);
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'),
            std::count(report.begin(), report.end(), '{'));

  // Stopping at the first failure, one job at a time: c is not started.
  CommandResult stop = test::Run("cat " + Quote(dir / "jobs.txt") + " | " + MIRAVA_CLI +
                                 " -l - -j 1 --stop-on-error --report " + Quote(dir / "r.csv"));
  EXPECT_EQ(stop.ExitCode, 1) << stop.Output;
  EXPECT_NE(stop.Output.find("1 succeeded, 1 failed, 0 skipped, 1 not started of 3"),
            std::string::npos)
      << stop.Output;
  const std::string csv = ReadText(dir / "r.csv");
  EXPECT_EQ(csv.rfind("input,output,kind,status,result,seconds,notes\n", 0), 0u) << csv;
  EXPECT_NE(csv.find(dir / "c.ers," + dir / "c.bmp,3,not started,,"), std::string::npos) << csv;
}

// Lists that are no text file of lines, reports that cannot be had: refused
// or failed, never read without end, never written over the list, never
// lost in silence. Names that are not UTF-8 still make JSON lines.
TEST(BatchEndToEnd, ListsAndReportsThatCannotBe) {
  TempDir dir;
  WriteErs(dir / "a.ers", TestRaster{});
  WriteErs(dir / "b\xff.ers", TestRaster{});
  WriteText(dir / "l.txt",
            dir / "a.ers\t" + dir / "a.tif\t1\n" + dir / "b\xff.ers\t" + dir / "b\xff,\".tif\t0\n");
  WriteText(dir / "nul.txt", dir / "a.ers\t" + dir / "x.tif\t1\n" + dir / "a.ers" +
                                 std::string(1, '\0') + ".ers\t" + dir / "y.tif\t1\n");
  WriteText(dir / "long.txt", std::string(20000, 'x') + "\n");
  const struct {
    std::vector<std::string> Args;
    int Status;
    std::string Message;
  } cases[] = {
      {{"-l", dir.str()}, 2, "the list " + dir.str() + " is a folder"},
      {{"-l", "/dev/zero"}, 2, "the list /dev/zero is not a regular file"},
      {{"-l", dir / "nul.txt"}, 2, "the list " + dir / "nul.txt" + ": line 2 holds a NUL byte"},
      {{"-l", dir / "long.txt"},
       2,
       "the list " + dir / "long.txt" + ": line 1 is longer than 16384 bytes"},
      {{"-l", dir / "l.txt", "--report", dir / "l.txt"},
       2,
       "the report " + dir / "l.txt" + " would overwrite the list"},
      {{"-l", dir / "l.txt", "--report", "/dev/full"},
       1,
       "the report /dev/full cannot be written: No space left on device"},
  };
  for (const auto& c : cases) {
    CommandResult r = RunCli(c.Args);
    EXPECT_EQ(r.ExitCode, c.Status) << r.Output;
    EXPECT_NE(r.Output.find(c.Message), std::string::npos) << r.Output;
  }
  CommandResult zeros =
      test::Run("head -c 100000 /dev/zero | " + std::string(MIRAVA_CLI) + " -l -");
  EXPECT_EQ(zeros.ExitCode, 2);
  EXPECT_NE(zeros.Output.find("the list -: line 1 holds a NUL byte"), std::string::npos)
      << zeros.Output;
  EXPECT_EQ(ReadText(dir / "l.txt").find(dir / "a.ers"), 0u);

  for (const char* report : {"r.jsonl", "r.csv"}) {
    CommandResult r = RunCli({"-l", dir / "l.txt", "--report", dir / report});
    EXPECT_EQ(r.ExitCode, 0) << r.Output;
  }
  CommandResult json = test::Run(
      "python3 -c 'import json, sys\nfor line in open(sys.argv[1], \"rb\"):\n"
      "  r = json.loads(line)\n  print(repr(r[\"output\"].encode(\"utf-8\", "
      "\"surrogateescape\")))' " +
      Quote(dir / "r.jsonl"));
  EXPECT_EQ(json.ExitCode, 0) << json.Output;
  EXPECT_NE(json.Output.find("b\\xff,\".tif'"), std::string::npos) << json.Output;
  EXPECT_NE(ReadText(dir / "r.csv").find("\"" + dir / "b\xff,\"\".tif\","), std::string::npos);
}

// A bad line refuses the batch before anything is written, naming the line.
TEST(BatchEndToEnd, BadListWritesNothing) {
  TempDir dir;
  WriteErs(dir / "a.ers", TestRaster{});
  WriteText(dir / "jobs.txt", dir / "a.ers\t" + dir / "x.tif\t0\n" + dir / "a.ers\t" +
                                  dir / "a.ers\t1\n" + dir / "gone.ers\t" + dir / "y.tif\t0\n");
  CommandResult r = RunCli({"--list", dir / "jobs.txt", "--report", dir / "r.csv"});
  EXPECT_EQ(r.ExitCode, 2);
  EXPECT_NE(
      r.Output.find("line 2: the output would overwrite " + dir / "a.ers" + ", its own input"),
      std::string::npos)
      << r.Output;
  EXPECT_NE(r.Output.find("line 3: the input " + dir / "gone.ers" + " does not exist"),
            std::string::npos);
  EXPECT_NE(r.Output.find("nothing was started"), std::string::npos);
  EXPECT_EQ(Listing(dir.str()), (std::set<std::string>{"a", "a.ers", "jobs.txt"}));

  // Same folder, same extension: each output would be its input.
  r = RunCli({"-o", dir.str(), "-e", "ers", dir / "a.ers"});
  EXPECT_EQ(r.ExitCode, 2);
  EXPECT_NE(r.Output.find("its own input"), std::string::npos) << r.Output;
}

// Ctrl-C during a batch of two jobs at a time: both end with "User Abort",
// nothing new starts, exit 130. The same command with --skip-existing then
// skips what was complete and does the rest, aborted outputs included.
TEST(BatchEndToEnd, InterruptThenResume) {
  TempDir dir;
  std::string list;
  // The large ones are turned slowly enough (144 MB each) that both are
  // still running when the interrupt comes, however fast turns get.
  for (const std::string name : {"s1", "s2", "big1", "big2", "s3", "s4"}) {
    if (name[0] == 'b')
      WriteSparseErs(dir / (name + ".ers"), 12000);
    else
      WriteErs(dir / (name + ".ers"), TestRaster{});
    list += dir / (name + ".ers") + "\t" + dir / ("out/" + name + ".ers") + "\t3\n";
  }
  std::filesystem::create_directories(dir / "out");
  WriteText(dir / "jobs.txt", list);
  const std::string command = std::string(MIRAVA_CLI) + " -l " + Quote(dir / "jobs.txt") +
                              " -j 2 --skip-existing --report " + Quote(dir / "r.jsonl");
  // Interrupt once both large outputs are locked (a lock file names the
  // output that holds it): both jobs are then running.
  const std::string locks = Quote(dir / "out") + "/.mirava-*.lock";
  CommandResult r = test::Run("{ " + command + " & pid=$!; until grep -qs big1.ers " + locks +
                              " && grep -qs big2.ers " + locks +
                              "; do sleep 0.01; done; kill -INT $pid; wait $pid; }");
  EXPECT_EQ(r.ExitCode, 130) << r.Output;
  EXPECT_NE(r.Output.find("big1.ers: User Abort"), std::string::npos) << r.Output;
  EXPECT_NE(r.Output.find("big2.ers: User Abort"), std::string::npos) << r.Output;
  EXPECT_NE(r.Output.find("2 succeeded, 0 failed, 0 skipped, 2 aborted, 2 not started of 6"),
            std::string::npos)
      << r.Output;
  EXPECT_FALSE(Exists(dir / "out/s3.ers"));
  EXPECT_FALSE(Exists(CompletionRecordName(dir / "out/big1.ers")));
  const std::string report = ReadText(dir / "r.jsonl");
  EXPECT_NE(report.find("\"status\":\"aborted\",\"result\":\"User Abort; Output "),
            std::string::npos)
      << report;

  r = test::Run(command);
  EXPECT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_NE(r.Output.find("4 succeeded, 0 failed, 2 skipped of 6"), std::string::npos) << r.Output;
  EXPECT_NE(r.Output.find("s1.ers: Skipped: the output is complete"), std::string::npos);
  EXPECT_NE(r.Output.find("big1.ers -> " + dir / "out/big1.ers: Successful Finish"),
            std::string::npos);
  for (const std::string name : {"s1", "s2", "big1", "big2", "s3", "s4"})
    EXPECT_TRUE(Exists(CompletionRecordName(dir / ("out/" + name + ".ers")))) << name;
}

// The GNU parallel recipes of docs/usage.md write what batch mode writes: over a
// folder, over a list file, and through --sshlogin (":" is this machine).
TEST(BatchEndToEnd, GnuParallelRecipesMatchBatchMode) {
  if (test::Run("parallel --version").ExitCode != 0) GTEST_SKIP() << "parallel not installed";
  TempDir dir;
  std::filesystem::create_directories(dir / "in");
  std::string list;
  for (int i = 0; i < 6; ++i) {
    TestRaster testRaster;
    testRaster.Columns = 7 + i;
    testRaster.Bands = 1 + i % 3;
    const std::string name = "sheet" + std::to_string(i);
    WriteErs(dir / ("in/" + name + ".ers"), testRaster);
    list += dir / ("in/" + name + ".ers") + "\t" + dir / ("list/" + name + ".ers") + "\t" +
            std::to_string(i) + "\n";
  }
  WriteText(dir / "jobs.txt", list);
  std::filesystem::create_directories(dir / "list");
  std::filesystem::create_directories(dir / "ssh");
  std::filesystem::create_directories(dir / "folder");
  const std::string cli = MIRAVA_CLI;
  const std::string in = Quote(dir / "in") + "/*.ers";
  ASSERT_EQ(
      RunCli({"-l", dir / "jobs.txt", "-j", "2", "--report", dir / "batch-list.jsonl"}).ExitCode,
      0);
  ASSERT_EQ(test::Run(cli + " -o " + Quote(dir / "batch") + " -e .ers -j 2 /3 " + in).ExitCode, 0);
  CommandResult r = test::Run("parallel --will-cite -j 2 " + cli + " {} " + Quote(dir / "folder") +
                              "/{/.}.ers /3 ::: " + in);
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_EQ(Listing(dir / "folder"), Listing(dir / "batch"));
  for (const std::string& name : Listing(dir / "batch"))
    EXPECT_EQ(Content(dir / ("folder/" + name)), Content(dir / ("batch/" + name))) << name;

  // The list file: each line's output renamed into ssh/, its kind as a switch.
  std::filesystem::rename(dir / "list", dir / "list-batch");
  std::filesystem::create_directories(dir / "list");
  r = test::Run("parallel --will-cite -j 2 --colsep '\\t' " + cli +
                " {1} {2} /{3} :::: " + Quote(dir / "jobs.txt"));
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  r = test::Run("sed 's#/list/#/ssh/#' " + Quote(dir / "jobs.txt") +
                " | parallel --will-cite -S : -j 2 --colsep '\\t' " + cli + " {1} {2} /{3}");
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  const auto names = Listing(dir / "list-batch");
  EXPECT_EQ(names.size(), 12u);
  EXPECT_EQ(Listing(dir / "list"), names);
  EXPECT_EQ(Listing(dir / "ssh"), names);
  for (const std::string& name : names) {
    EXPECT_EQ(Content(dir / ("list/" + name)), Content(dir / ("list-batch/" + name))) << name;
    EXPECT_EQ(Content(dir / ("ssh/" + name)), Content(dir / ("list-batch/" + name))) << name;
  }
}
