#include "job/ConvertThread.h"

#include <gtest/gtest.h>

#include <future>
#include <regex>

#include "TestRasters.h"
#include "TestUtil.h"
#include "formats/header/ErsMap.h"
#include "text/TextUtils.h"

using namespace mirava;
using namespace mirava::test;

namespace {

// When the user asks the job to stop: before it starts, at the first
// progress shown, at the last row's (after the job checked for a stop there),
// or at the note on the path a JPEG takes (before it is read).
enum class TStopAt { Never, Start, FirstProgress, LastRow, Note };

// Runs hand-offs inline and records what the job showed.
class TRecordingHost : public TJobHost {
 public:
  // Hand-offs wait until the test holds the job.
  void Synchronize(const std::function<void()>& procedure) override {
    while (!Job) std::this_thread::yield();
    procedure();
  }
  void DisplayProgress(int percent, const std::string& elapsed,
                       const std::string& remaining) override {
    Percents.push_back(percent);
    Elapsed = elapsed;
    Remaining = remaining;
    if (StopAt == TStopAt::FirstProgress || (StopAt == TStopAt::LastRow && percent == 100))
      Job.load()->Stop();
  }
  void ShowNote(const std::string&) override {
    if (StopAt == TStopAt::Note) Job.load()->Stop();
  }
  void ShowError(const std::string& text) override { Errors.push_back(text); }
  void JobFinished(TMyThread&) override { Done.set_value(); }

  std::vector<int> Percents;
  std::string Elapsed, Remaining;
  std::vector<std::string> Errors;
  TStopAt StopAt = TStopAt::Never;
  std::atomic<TMyThread*> Job{nullptr};
  std::promise<void> Done;
};

struct JobResult {
  std::string Message;
  std::string OutputState;
  std::vector<int> Percents;
  std::vector<std::string> Errors;
};

JobResult RunJob(const std::string& in, const std::string& out, int kind,
                 TStopAt stopAt = TStopAt::Never, std::vector<std::string> creationOptions = {}) {
  TRecordingHost host;
  host.StopAt = stopAt;
  JobResult result;
  {
    TMyThread job(host, in, out, kind, {.CreationOptions = std::move(creationOptions)});
    if (stopAt == TStopAt::Start) job.Stop();
    host.Job = &job;
    host.Done.get_future().wait();
    result.Message = job.Message();
    result.OutputState = job.OutputStateText();
  }
  result.Percents = host.Percents;
  result.Errors = host.Errors;
  return result;
}

}  // namespace

TEST(ConvertThread, TimeText) {
  EXPECT_EQ(TimeText(3725.0 / 86400), "1:2:5");
  EXPECT_EQ(TimeText(59.0 / 86400), "0:0:59");
  EXPECT_EQ(TimeText(0), "0:0:0");
}

TEST(ConvertThread, RotatesAndKeepsTheGeoreference) {
  TempDir dir;
  TestRaster raster;
  raster.Columns = 300;
  raster.Rows = 200;
  raster.Bands = 1;
  WriteErs(dir / "in.ers", raster);
  JobResult r = RunJob(dir / "in.ers", dir / "out.ers", KindOf(TPlacement::Rotate90CW));
  ASSERT_EQ(r.Message, "Successful Finish");
  ASSERT_FALSE(r.Percents.empty());
  EXPECT_EQ(r.Percents.back(), 100);
  TErsMap2 out;
  ASSERT_TRUE(out.Open(dir / "out.ers", 0, 0, 1, 1, omRead));
  EXPECT_EQ(out.GetColumnCount(), 200);
  EXPECT_EQ(out.GetRowCount(), 300);
  EXPECT_EQ(out.GetGeoreference().Affine.CellSizeX, 0.000833333333333333);
  EXPECT_EQ(out.GetGeoreference().Affine.CellSizeY, 0.000833333333333334);
  EXPECT_EQ(out.GetGeoreference().Affine.X0, 5.741666666666667);
  EXPECT_EQ(out.GetGeoreference().Affine.Y0, 50.19166666666667);
}

TEST(ConvertThread, OneRowOutputShowsNoProgress) {
  TempDir dir;
  TestRaster raster;
  raster.Rows = 1;
  WriteErs(dir / "in.ers", raster);
  JobResult r = RunJob(dir / "in.ers", dir / "out.ers", KindOf(TPlacement::None));
  EXPECT_EQ(r.Message, "Successful Finish");
  EXPECT_TRUE(r.Percents.empty());
}

TEST(ConvertThread, AbortCompletesTheCurrentRowsAndClosesTheOutput) {
  TempDir dir;
  TestRaster raster;
  raster.Columns = 2;
  raster.Rows = 200;
  raster.Bands = 1;
  WriteErs(dir / "in.ers", raster);
  JobResult r =
      RunJob(dir / "in.ers", dir / "out.ers", KindOf(TPlacement::None), TStopAt::FirstProgress);
  EXPECT_EQ(r.Message, "User Abort");
  // The job says how far it got, and the file agrees.
  std::smatch held;
  ASSERT_TRUE(std::regex_match(r.OutputState, held,
                               std::regex("Output " + dir / "out.ers" +
                                          " holds ([0-9]+) of 200 rows; the others are empty")))
      << r.OutputState;
  const uint32_t rows = static_cast<uint32_t>(std::stoul(held[1]));
  ASSERT_GT(rows, 0u);
  ASSERT_LT(rows, 200u);
  TErsMap2 out;
  ASSERT_TRUE(out.Open(dir / "out.ers", 0, 0, 1, 1, omRead));
  float v;
  for (uint32_t row : {0u, rows - 1}) {
    ASSERT_TRUE(out.ReadCell(1, row, 0, v));
    EXPECT_EQ(v, PatternValue(raster, 1, row, 0)) << row;
  }
  for (uint32_t row = rows; row < 200; ++row) {
    ASSERT_TRUE(out.ReadCell(1, row, 0, v));
    EXPECT_EQ(v, 0) << row;  // the rest stays empty
  }
}

// JPEG and ECW encode their rows as the output closes, after the last row.
// A stop between the two ends the job as a stop while encoding does: nothing
// is published, and a former output stays as it was.
TEST(ConvertThread, AStopAfterTheLastRowEndsTheEncoding) {
  TempDir dir;
  TestRaster raster;
  raster.Columns = 40;
  raster.Rows = 30;
  raster.Bands = 3;
  WriteErs(dir / "in.ers", raster);
  for (const std::string& out : {dir / "o.jpg", dir / "o.ecw"}) {
    for (const bool former : {false, true}) {
      if (former) {
        ASSERT_EQ(RunJob(dir / "in.ers", out, KindOf(TPlacement::None)).Message,
                  "Successful Finish");
      }
      const std::vector<uint8_t> before = former ? ReadBytes(out) : std::vector<uint8_t>();
      JobResult r = RunJob(dir / "in.ers", out, KindOf(TPlacement::Rotate90CW), TStopAt::LastRow);
      ASSERT_FALSE(r.Percents.empty()) << out;
      EXPECT_EQ(r.Percents.back(), 100) << out;
      EXPECT_EQ(r.Message, "User Abort") << out;
      EXPECT_EQ(r.OutputState, former ? "Output " + out + " was left as it was before the job"
                                      : "No output was written")
          << out;
      EXPECT_EQ(Exists(out), former) << out;
      if (former) {
        EXPECT_EQ(ReadBytes(out), before) << out;
      }
    }
  }
}

// A JPEG placed without loss heeds a stop while it is read and written:
// nothing is published, and a former output stays as it was.
TEST(ConvertThread, AStopEndsAJpegPlacedWithoutLoss) {
  TempDir dir;
  TestRaster raster;
  raster.Columns = 64;
  raster.Rows = 48;
  raster.Bands = 3;
  WriteErs(dir / "in.ers", raster);
  ASSERT_EQ(RunJob(dir / "in.ers", dir / "in.jpg", KindOf(TPlacement::None)).Message,
            "Successful Finish");
  for (const bool former : {false, true}) {
    if (former) {
      ASSERT_EQ(RunJob(dir / "in.jpg", dir / "o.jpg", KindOf(TPlacement::None)).Message,
                "Successful Finish");
    }
    const std::vector<uint8_t> before = former ? ReadBytes(dir / "o.jpg") : std::vector<uint8_t>();
    JobResult r =
        RunJob(dir / "in.jpg", dir / "o.jpg", KindOf(TPlacement::Rotate90CW), TStopAt::Note);
    EXPECT_EQ(r.Message, "User Abort");
    EXPECT_EQ(r.OutputState, former
                                 ? "Output " + dir / "o.jpg" + " was left as it was before the job"
                                 : "No output was written");
    EXPECT_EQ(Exists(dir / "o.jpg"), former);
    EXPECT_EQ(Exists(dir / "o.jgw"), former);
    if (former) {
      EXPECT_EQ(ReadBytes(dir / "o.jpg"), before);
    }
  }
}

// A stop while the input is still being decoded ends the job there: the
// decoders stop, and a quarter turn's output holds none of its rows.
TEST(ConvertThread, AStopWhileTheInputIsDecodedEndsTheJob) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  // Decoding it takes far longer than the job takes to reach its rows.
  ASSERT_EQ(test::Run("gdal_translate -q -b 1 -outsize 6000 6000 -co COMPRESS=LZW "
                      "-co PREDICTOR=2 " +
                      Quote(Sample("logo.tif")) + " " + Quote(dir / "in.tif"))
                .ExitCode,
            0);
  JobResult r = RunJob(dir / "in.tif", dir / "out.tif", KindOf(TPlacement::Rotate90CW),
                       TStopAt::Start, {"COMPRESS=DEFLATE"});
  EXPECT_EQ(r.Message, "User Abort");
  EXPECT_EQ(r.OutputState,
            "Output " + dir / "out.tif" + " was created but holds none of its 6000 rows");
}

TEST(ConvertThread, FailureMessages) {
  TempDir dir;
  TestRaster four;
  four.Bands = 4;
  WriteErs(dir / "four.ers", four);
  TestRaster shorts = AllCellTypes()[2];
  WriteErs(dir / "shorts.ers", shorts);
  WriteText(dir / "bad.ers", "DatasetHeader Begin\nNrOfLines = 12x\n");
  WriteText(dir / "other.dat", "not a raster at all");
  std::filesystem::create_directory(dir / "folder.ers");

  struct Case {
    std::string In, Out, Message;
  } cases[] = {
      {dir / "four.ers", "", "No output file name"},
      {dir / "four.ers", dir / "o.bmp", "BMP files do not support more than 3 bands"},
      {dir / "shorts.ers", dir / "o.bmp", "BMP files support only byte data"},
      {dir / "missing.ers", dir / "o.ers", "No file: " + dir / "missing.ers"},
      {"", dir / "o.ers", "No file name"},
      {dir / "other.dat", dir / "o.ers",
       "Unknown file format: " + dir / "other.dat" +
           "\nIts first bytes are those of no format Mirava reads; mirava-cli --formats lists the "
           "formats it reads"},
      {dir / "bad.ers", dir / "o.ers",
       "Header " + ShortenPath(dir / "bad.ers", 20) +
           " reading error ('12X' is not a valid integer value)"},
      {dir / "shorts.ers", dir / "no/such/dir/o.ers",
       "Output folder " + dir / "no/such/dir" + " does not exist"},
      {dir / "shorts.ers", dir / "o.png", "Unknown output format for " + dir / "o.png"},
      {dir / "folder.ers", dir / "o.ers", dir / "folder.ers is a folder"},
      {"/proc/self/mem", dir / "o.ers", "/proc/self/mem: Input/output error"},
  };
  for (const Case& c : cases) {
    JobResult r = RunJob(c.In, c.Out, KindOf(TPlacement::None));
    EXPECT_EQ(r.Message, c.Message) << c.In << " -> " << c.Out;
    EXPECT_EQ(r.OutputState, "No output was written");
  }
  // Refused before anything was created.
  EXPECT_FALSE(Exists(dir / "o.bmp"));
}

TEST(ConvertThread, OutputNeverOverwritesTheInput) {
  TempDir dir;
  TestRaster raster;
  WriteErs(dir / "map.ers", raster);
  const std::vector<uint8_t> data = ReadBytes(dir / "map");
  const std::string header = ReadText(dir / "map.ers");
  std::filesystem::create_hard_link(dir / "map.ers", dir / "link.ers");
  std::filesystem::create_directory(dir / "sub");
  for (const std::string& out :
       {dir / "map.ers", dir / "map.osd", dir / "sub/../map.ers", dir / "link.ers"}) {
    JobResult r = RunJob(dir / "map.ers", out, KindOf(TPlacement::MirrorHorizontal));
    EXPECT_NE(r.Message.find("would overwrite"), std::string::npos) << out << ": " << r.Message;
  }
  EXPECT_EQ(ReadBytes(dir / "map"), data);
  EXPECT_EQ(ReadText(dir / "map.ers"), header);
}

// A folder under any of the output's names (its header, its points) is
// found before anything is created, not when the file is written.
TEST(ConvertThread, AFolderUnderAnOutputNameIsRefusedAtTheStart) {
  TempDir dir;
  TestRaster raster;
  WriteErs(dir / "in.ers", raster);
  for (const char* name : {"out.ers", "out.gcp"}) {
    std::filesystem::create_directory(dir / name);
    JobResult r = RunJob(dir / "in.ers", dir / "out.ers", KindOf(TPlacement::None));
    EXPECT_EQ(r.Message, "Output " + dir / name + " is a folder");
    EXPECT_EQ(r.OutputState, "No output was written");
    EXPECT_FALSE(Exists(dir / "out"));
    std::filesystem::remove(dir / name);
  }
}
