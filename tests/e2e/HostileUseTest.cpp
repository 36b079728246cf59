// mirava-cli as a careless or hostile user meets it: signals from a closed
// session, headers whose numbers make no sense, control point files with
// broken lines, and inputs that are no regular files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "TestRasters.h"

using namespace mirava::test;

namespace {

// A 30000 x 30000 byte raster over a sparse data file: a quarter turn of it
// runs for seconds, yet nothing has to be written first.
std::string BigSparseErs(const TempDir& dir) {
  TestRaster raster;
  raster.Columns = raster.Rows = 30000;
  raster.Bands = 1;
  WriteErsHeader(dir / "big.ers", raster);
  EXPECT_EQ(mirava::test::Run("truncate -s 900000000 " + Quote(dir / "big")).ExitCode, 0);
  return dir / "big.ers";
}

// The shell lines that start the job in the background, standard error to
// `err`, and wait until its first progress line.
std::string StartJob(const std::string& input, const std::string& output, const std::string& err) {
  return std::string(MIRAVA_CLI) + " " + Quote(input) + " " + Quote(output) + " /3 2>" +
         Quote(err) + " & pid=$!; until grep -q % " + Quote(err) +
         " 2>/dev/null; do sleep 0.02; done; ";
}

}  // namespace

// SIGHUP (a dropped ssh session) and SIGTERM stop the job as Ctrl-C does.
TEST(Signals, HangupAndTerminateAreUserAborts) {
  for (const char* signal : {"HUP", "TERM"}) {
    TempDir dir;
    const std::string input = BigSparseErs(dir);
    const std::string err = dir / "err";
    CommandResult r = mirava::test::Run(StartJob(input, dir / "out.ers", err) + "kill -" + signal +
                          " $pid; wait $pid; s=$?; cat " + Quote(err) + "; exit $s");
    EXPECT_EQ(r.ExitCode, 130) << signal << "\n" << r.Output;
    EXPECT_NE(r.Output.find("User Abort\n"), std::string::npos) << signal << "\n" << r.Output;
  }
}

// When the session goes, so does the reader of standard error: the job
// still ends as a User Abort instead of dying on the closed pipe.
TEST(Signals, HangupWithStandardErrorClosed) {
  TempDir dir;
  const std::string input = BigSparseErs(dir);
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  const std::string pipe = Quote(dir / "pipe");
  CommandResult r = mirava::test::Run(std::string(MIRAVA_CLI) + " " + Quote(input) + " " +
                        Quote(dir / "out.ers") + " /3 2>" + pipe + " & pid=$!; head -n 1 " +
                        pipe + " >/dev/null; kill -HUP $pid; wait $pid");
  EXPECT_EQ(r.ExitCode, 130) << r.Output;
}

// Cell sizes and coordinates that make no sense stop the job at its start,
// named with the header and the field; nothing is written.
TEST(QuestionableInput, HeadersWithoutUsableGeoreference) {
  TempDir dir;
  const struct {
    const char* Field;
    const char* Value;
  } cases[] = {{"Xdimension", "nan"}, {"Ydimension", "inf"}, {"Xdimension", "0"},
               {"Eastings", "nan"},   {"Northings", "-inf"}};
  for (const auto& c : cases) {
    TestRaster raster;
    raster.CellInfo = std::string("\t\tCellInfo Begin\n\t\t\t") + c.Field + " = " + c.Value +
                      "\n\t\tCellInfo End\n";
    WriteErs(dir / "in.ers", raster);
    CommandResult r = RunCli({dir / "in.ers", dir / "out.tif", "/3"});
    EXPECT_EQ(r.ExitCode, 1) << r.Output;
    EXPECT_NE(r.Output.find("in.ers reading error (" + std::string(c.Field) + " is "),
              std::string::npos)
        << r.Output;
    EXPECT_NE(r.Output.find("No output was written"), std::string::npos) << r.Output;
    EXPECT_FALSE(Exists(dir / "out.tif"));
  }
  // OSD reads the same fields.
  WriteText(dir / "in.osd",
            "OrthoSetDataHeader [\r\n  ImageInfo [\r\n    CellType = Unsigned8BitInteger\r\n"
            "    Xdimension = NaN\r\n    NrOfLines = 1\r\n    NrOfCellsPerLine = 1\r\n"
            "    NrOfBands = 1\r\n  ImageInfo ]\r\nOrthoSetDataHeader ]\r\n");
  WriteBytes(dir / "in", {7});
  CommandResult osd = RunCli({dir / "in.osd", dir / "out.ers"});
  EXPECT_EQ(osd.ExitCode, 1);
  EXPECT_NE(osd.Output.find("in.osd reading error (Xdimension is not a finite number)"),
            std::string::npos)
      << osd.Output;
}
