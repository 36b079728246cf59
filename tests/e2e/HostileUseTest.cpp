// mirava-cli as a careless or hostile user meets it: signals from a closed
// session, headers whose numbers make no sense, control point files with
// broken lines, and inputs that are no regular files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

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
  CommandResult r = mirava::test::Run(
      std::string(MIRAVA_CLI) + " " + Quote(input) + " " + Quote(dir / "out.ers") + " /3 2>" +
      pipe + " & pid=$!; head -n 1 " + pipe + " >/dev/null; kill -HUP $pid; wait $pid");
  EXPECT_EQ(r.ExitCode, 130) << r.Output;
}

// Cell sizes and coordinates that make no sense stop the job at its start,
// named with the header and the field; nothing is written.
TEST(QuestionableInput, HeadersWithoutUsableGeoreference) {
  TempDir dir;
  const struct {
    const char* Field;
    const char* Value;
  } cases[] = {{"Xdimension", "nan"},
               {"Ydimension", "inf"},
               {"Xdimension", "0"},
               {"Eastings", "nan"},
               {"Northings", "-inf"}};
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

// A .gcp line that does not parse is named on standard error (file and line)
// and is not carried over; the good points are, and the job succeeds.
TEST(QuestionableInput, ControlPointLinesThatDoNotParse) {
  TempDir dir;
  std::filesystem::copy_file(Sample("logo.tif"), dir / "in.tif");
  WriteText(dir / "in.gcp",
            "A\tYes\t1\t2\t1000\t2000\t0\r\n"
            "B\tYes\r\n"
            "C\tYes\tx\t2\t1000\t2000\t0\r\n"
            "D\tNo\t3\t4\t1010\t1990\t0\r\n");
  CommandResult r = RunCli({dir / "in.tif", dir / "out.ers"});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_NE(r.Output.find("Control point not carried over: " + dir / "in.gcp" +
                          " line 2: CellX is missing"),
            std::string::npos)
      << r.Output;
  EXPECT_NE(r.Output.find(dir / "in.gcp" + " line 3: \"x\" is not a number (CellX)"),
            std::string::npos)
      << r.Output;
  const std::string carried = ReadText(dir / "out.gcp");
  EXPECT_EQ(carried.rfind("A\t", 0), 0u) << carried;
  EXPECT_NE(carried.find("\r\nD\t"), std::string::npos) << carried;
  EXPECT_EQ(carried.find("B\t"), std::string::npos) << carried;
  EXPECT_EQ(carried.find("C\t"), std::string::npos) << carried;
}

// A FIFO or a device in an input's place is refused at once, not waited on
// or read without end; a FIFO beside an input as its .gcp is passed over.
TEST(QuestionableInput, InputsThatAreNoRegularFiles) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo.ers").c_str(), 0600), 0);
  const std::string cli = "timeout 60 " + std::string(MIRAVA_CLI) + " ";
  CommandResult fifo =
      mirava::test::Run(cli + Quote(dir / "fifo.ers") + " " + Quote(dir / "out.ers"));
  EXPECT_EQ(fifo.ExitCode, 1) << fifo.Output;
  EXPECT_NE(fifo.Output.find(dir / "fifo.ers is not a regular file"), std::string::npos)
      << fifo.Output;
  CommandResult device = mirava::test::Run(cli + "/dev/zero " + Quote(dir / "out.ers"));
  EXPECT_EQ(device.ExitCode, 1) << device.Output;
  EXPECT_NE(device.Output.find("/dev/zero is not a regular file"), std::string::npos)
      << device.Output;
  // The header is a file, its data file a FIFO.
  WriteErsHeader(dir / "in.ers", TestRaster{});
  ASSERT_EQ(mkfifo((dir / "in").c_str(), 0600), 0);
  CommandResult data =
      mirava::test::Run(cli + Quote(dir / "in.ers") + " " + Quote(dir / "out.ers"));
  EXPECT_EQ(data.ExitCode, 1) << data.Output;
  EXPECT_NE(data.Output.find(dir / "in is not a regular file"), std::string::npos) << data.Output;
  EXPECT_FALSE(Exists(dir / "out.ers"));

  std::filesystem::copy_file(Sample("logo.tif"), dir / "logo.tif");
  ASSERT_EQ(mkfifo((dir / "logo.gcp").c_str(), 0600), 0);
  CommandResult gcp = mirava::test::Run(cli + Quote(dir / "logo.tif") + " " + Quote(dir / "o.ers"));
  EXPECT_EQ(gcp.ExitCode, 0) << gcp.Output;
}
