// Kind 0 from a compressed or tiled GeoTIFF into a TIFF asked for the same
// encoding copies the strips or tiles as they are; any difference, or a
// file whose stored chunks are not what the encoder would write, takes the
// decoding way. Either way GDAL reads the input's cells and georeference.
#include "formats/image/tiff/TiffChunkCopy.h"

#include <gtest/gtest.h>

#include <future>

#include "../../../TestUtil.h"
#include "../ImageTestUtil.h"
#include "dataset/DataSet.h"
#include "formats/image/tiff/TifMap.h"
#include "job/ConvertThread.h"

namespace mirava {
namespace {

using namespace mirava::test;

constexpr const char* kCopied = "Placed without loss";

// gdalinfo's lines on how the pixels are stored.
std::string Storage(const std::string& file) {
  const std::string info = test::Run("gdalinfo " + Quote(file)).Output;
  std::string lines;
  size_t start = 0;
  while (start < info.size()) {
    const size_t end = std::min(info.find('\n', start), info.size());
    const std::string line = info.substr(start, end - start);
    for (const char* key : {"COMPRESSION=", "PREDICTOR=", "Block=", "Color Table", "INTERLEAVE="})
      if (const size_t at = line.find(key); at != std::string::npos)
        lines += line.substr(at, line.find(' ', at) - at) + "\n";
    start = end + 1;
  }
  return lines;
}

// A palette of 256 colours over the first band of the logo, placed by a VRT.
std::string PaletteVrt(const TempDir& dir) {
  std::string table;
  for (int i = 0; i < 256; ++i)
    table += "<Entry c1=\"" + std::to_string(i) + "\" c2=\"" + std::to_string(255 - i) +
             "\" c3=\"" + std::to_string(i * 7 % 256) + "\" c4=\"255\"/>";
  const std::string vrt = dir / "palette.vrt";
  WriteText(vrt,
            "<VRTDataset rasterXSize=\"101\" rasterYSize=\"77\"><SRS>EPSG:32633</SRS>"
            "<GeoTransform>500000, 30, 0, 4000000, 0, -30</GeoTransform>"
            "<VRTRasterBand dataType=\"Byte\" band=\"1\"><ColorInterp>Palette</ColorInterp>"
            "<ColorTable>" +
                table + "</ColorTable><SimpleSource><SourceFilename>" + Sample("logo.tif") +
                "</SourceFilename><SourceBand>1</SourceBand></SimpleSource>"
                "</VRTRasterBand></VRTDataset>");
  return vrt;
}

struct TCopyCase {
  const char* Input;  // gdal_translate's options that make the input from the sample
  const char* Sample;
  std::vector<std::string> Output;  // mirava-cli's creation options
  bool Copied;
};

// Named after the input's options and, where they differ from them, the
// output's.
std::string CopyCaseName(const ::testing::TestParamInfo<TCopyCase>& info) {
  std::string output;
  for (const std::string& o : info.param.Output) output += " " + o;
  const std::string sample = info.param.Sample;
  return CaseName(sample.substr(0, sample.find('.')) + " " + info.param.Input + " to" + output);
}

// What a failure names the case by.
void PrintTo(const TCopyCase& c, std::ostream* os) { *os << CopyCaseName({c, 0}); }

class TiffChunkCopy : public ::testing::TestWithParam<TCopyCase> {};

TEST_P(TiffChunkCopy, CellsGeoreferenceAndEncodingAsGdalReadsThem) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TCopyCase& c = GetParam();
  TempDir dir;
  const std::string source =
      std::string(c.Sample) == "palette" ? PaletteVrt(dir) : Sample(c.Sample);
  const std::string in = dir / "in.tif";
  const CommandResult made = test::Run(std::string("gdal_translate -q ") + c.Input + " " +
                                       Quote(source) + " " + Quote(in) + " 2>&1");
  ASSERT_EQ(made.ExitCode, 0) << made.Output;
  GdalRaster original;
  ASSERT_TRUE(ReadWithGdal(in, original));
  const std::string out = dir / "out.tif";
  std::vector<std::string> args = {in, out, "/0"};
  for (const std::string& o : c.Output) args.insert(args.end(), {"-co", o});
  const CommandResult job = RunCli(args);
  ASSERT_EQ(job.ExitCode, 0) << job.Output;
  EXPECT_EQ(job.Output.find(kCopied) != std::string::npos, c.Copied) << job.Output;
  GdalRaster back;
  ASSERT_TRUE(ReadWithGdal(out, back));
  ExpectPlaced(original, back, 0);
  EXPECT_EQ(GdalGeoTransform(out), GdalGeoTransform(in));
  EXPECT_EQ(GdalCrs(out), GdalCrs(in));
  const std::string info = test::Run("gdalinfo " + Quote(out)).Output;
  EXPECT_EQ(info.find("ERROR"), std::string::npos) << info;
  if (c.Copied) {
    EXPECT_EQ(Storage(out), Storage(in));
    EXPECT_FALSE(IsBigTiff(out));
  }
  TTifMap2 ours;
  ASSERT_TRUE(ours.Open(out, 0, 0, 1, 1, omRead)) << ours.Error().Text;
  ExpectSameCells(ours, back);
}

const std::vector<std::string> kDeflateTiles = {"COMPRESS=DEFLATE", "PREDICTOR=2", "TILED=YES"};
constexpr const char* kDeflateTileInput =
    "-outsize 600 500 -co COMPRESS=DEFLATE -co PREDICTOR=2 -co TILED=YES";

INSTANTIATE_TEST_SUITE_P(
    SameEncoding, TiffChunkCopy,
    ::testing::Values(
        TCopyCase{kDeflateTileInput, "logo.tif", kDeflateTiles, true},
        TCopyCase{"-outsize 300 200 -co COMPRESS=LZW -co PREDICTOR=2 -co BLOCKYSIZE=16",
                  "elev.tif",
                  {"COMPRESS=LZW", "PREDICTOR=2", "BLOCKYSIZE=16"},
                  true},
        TCopyCase{"-outsize 300 200 -ot Float32 -co COMPRESS=ZSTD -co PREDICTOR=3 -co TILED=YES "
                  "-co BLOCKXSIZE=128 -co BLOCKYSIZE=64",
                  "elev.tif",
                  {"COMPRESS=ZSTD", "TILED=YES", "BLOCKXSIZE=128", "BLOCKYSIZE=64"},
                  true},
        // A BigTIFF in, four bands; its copy is no BigTIFF.
        TCopyCase{"-outsize 200 150 -ot UInt16 -b 1 -b 2 -b 3 -b 1 -co BIGTIFF=YES "
                  "-co COMPRESS=DEFLATE -co PREDICTOR=2 -co TILED=YES -co BLOCKXSIZE=64 "
                  "-co BLOCKYSIZE=32",
                  "logo.tif",
                  {"COMPRESS=DEFLATE", "TILED=YES", "BLOCKXSIZE=64", "BLOCKYSIZE=32"},
                  true},
        TCopyCase{"-outsize 100 70 -ot Int32 -co TILED=YES -co BLOCKXSIZE=32 -co BLOCKYSIZE=32",
                  "elev.tif",
                  {"TILED=YES", "BLOCKXSIZE=32", "BLOCKYSIZE=32"},
                  true},
        // The compression level does not count.
        TCopyCase{"-outsize 300 200 -ot Float64 -co COMPRESS=DEFLATE -co ZLEVEL=9 "
                  "-co BLOCKYSIZE=10",
                  "elev.tif",
                  {"COMPRESS=DEFLATE", "PREDICTOR=1", "BLOCKYSIZE=10", "ZLEVEL=1"},
                  true},
        TCopyCase{"-co COMPRESS=LZW -co TILED=YES -co BLOCKXSIZE=16 -co BLOCKYSIZE=16",
                  "palette",
                  {"COMPRESS=LZW", "PREDICTOR=1", "TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16"},
                  true}),
    CopyCaseName);

INSTANTIATE_TEST_SUITE_P(
    OneOptionDiffers, TiffChunkCopy,
    ::testing::Values(
        TCopyCase{
            kDeflateTileInput,
            "logo.tif",
            {"COMPRESS=DEFLATE", "PREDICTOR=2", "TILED=YES", "BLOCKXSIZE=128", "BLOCKYSIZE=128"},
            false},
        TCopyCase{
            kDeflateTileInput, "logo.tif", {"COMPRESS=DEFLATE", "PREDICTOR=1", "TILED=YES"}, false},
        TCopyCase{
            kDeflateTileInput, "logo.tif", {"COMPRESS=LZW", "PREDICTOR=2", "TILED=YES"}, false},
        TCopyCase{kDeflateTileInput, "logo.tif", {"COMPRESS=DEFLATE", "PREDICTOR=2"}, false},
        TCopyCase{"-outsize 300 200 -co COMPRESS=LZW -co PREDICTOR=2 -co BLOCKYSIZE=16",
                  "elev.tif",
                  {"COMPRESS=LZW", "PREDICTOR=2", "BLOCKYSIZE=32"},
                  false}),
    CopyCaseName);

// Files libtiff reads whose stored chunks are not what the encoder writes.
INSTANTIATE_TEST_SUITE_P(
    StoredOtherwise, TiffChunkCopy,
    ::testing::Values(
        TCopyCase{"-outsize 300 200 -co COMPRESS=DEFLATE -co PREDICTOR=2 -co TILED=YES "
                  "-co ENDIANNESS=BIG",
                  "elev.tif",
                  {"COMPRESS=DEFLATE", "PREDICTOR=2", "TILED=YES"},
                  false},
        TCopyCase{"-outsize 300 200 -co COMPRESS=DEFLATE -co PREDICTOR=2 -co TILED=YES "
                  "-co INTERLEAVE=BAND",
                  "logo.tif", kDeflateTiles, false},
        TCopyCase{"-outsize 300 200 -co COMPRESS=DEFLATE -co PREDICTOR=2 -co TILED=YES "
                  "-co PHOTOMETRIC=MINISWHITE -b 1",
                  "logo.tif", kDeflateTiles, false},
        TCopyCase{"-outsize 300 200 -ot UInt16 -co NBITS=12 -co COMPRESS=DEFLATE -co TILED=YES",
                  "logo.tif",
                  {"COMPRESS=DEFLATE", "PREDICTOR=1", "TILED=YES"},
                  false},
        // Tiles wholly outside the sample are left out of the file; GDAL
        // shows them as the no-data value, or as zeros without one.
        TCopyCase{"-srcwin 0 0 600 600 -co SPARSE_OK=TRUE -co COMPRESS=DEFLATE -co PREDICTOR=2 "
                  "-co TILED=YES",
                  "elev.tif", kDeflateTiles, false},
        // A no-data value past the cells' range fills them clamped.
        TCopyCase{"-srcwin 0 0 600 600 -a_nodata -1 -co SPARSE_OK=TRUE -co COMPRESS=DEFLATE "
                  "-co PREDICTOR=2 -co TILED=YES",
                  "logo.tif", kDeflateTiles, false},
        TCopyCase{"-srcwin 0 0 600 600 -a_nodata none -co SPARSE_OK=TRUE -co COMPRESS=DEFLATE "
                  "-co PREDICTOR=2 -co TILED=YES -co INTERLEAVE=BAND",
                  "logo.tif", kDeflateTiles, false}),
    CopyCaseName);

// The other placements decode and encode again, whatever the encoding.
TEST(TiffChunkCopy, OnlyKindZeroCopies) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string in = dir / "in.tif";
  ASSERT_EQ(test::Run(std::string("gdal_translate -q ") + kDeflateTileInput + " " +
                      Quote(Sample("logo.tif")) + " " + Quote(in))
                .ExitCode,
            0);
  EXPECT_TRUE(TTifMap2::CanPlaceFile(in, kDeflateTiles, TPlacement::None));
  EXPECT_FALSE(TTifMap2::CanPlaceFile(in, {}, TPlacement::None));
  for (int kind = 1; kind < 6; ++kind)
    EXPECT_FALSE(TTifMap2::CanPlaceFile(in, kDeflateTiles, *PlacementOfKind(kind)));
  const CommandResult job = RunCli({in, dir / "out.tif", "/1", "-co", "COMPRESS=DEFLATE", "-co",
                                    "PREDICTOR=2", "-co", "TILED=YES"});
  ASSERT_EQ(job.ExitCode, 0) << job.Output;
  EXPECT_EQ(job.Output.find(kCopied), std::string::npos) << job.Output;
  GdalRaster original, back;
  ASSERT_TRUE(ReadWithGdal(in, original));
  ASSERT_TRUE(ReadWithGdal(dir / "out.tif", back));
  ExpectPlaced(original, back, 1);
}

// Records progress and asks for a stop at the first.
class TStopHost : public TJobHost {
 public:
  // Hand-offs wait until the test holds the job.
  void Synchronize(const std::function<void()>& procedure) override {
    while (!Job) std::this_thread::yield();
    procedure();
  }
  void DisplayProgress(int percent, const std::string&, const std::string&) override {
    Percents.push_back(percent);
    if (StopAtFirst) Job.load()->Stop();
  }
  void ShowNote(const std::string& text) override { Notes += text; }
  void ShowError(const std::string&) override {}
  void JobFinished(TMyThread&) override { Done.set_value(); }
  bool StopAtFirst = false;
  std::atomic<TMyThread*> Job{nullptr};
  std::vector<int> Percents;
  std::string Notes;
  std::promise<void> Done;
};

// A copy larger than one piece shows its progress, and a stop midway
// leaves no output.
TEST(TiffChunkCopy, ProgressAndStop) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string in = dir / "in.tif";
  ASSERT_EQ(test::Run("gdal_translate -q -outsize 4000 3000 -co TILED=YES " +
                      Quote(Sample("logo.tif")) + " " + Quote(in))
                .ExitCode,
            0);
  const std::vector<std::string> options = {"TILED=YES"};
  for (const bool stop : {false, true}) {
    SCOPED_TRACE(stop);
    const std::string out = dir / (stop ? "stopped.tif" : "out.tif");
    TStopHost host;
    host.StopAtFirst = stop;
    std::string message, state;
    {
      TMyThread job(host, in, out, KindOf(TPlacement::None), {.CreationOptions = options});
      host.Job = &job;
      host.Done.get_future().wait();
      message = job.Message();
      state = job.OutputStateText();
    }
    EXPECT_NE(host.Notes.find(kCopied), std::string::npos) << host.Notes;
    if (stop) {
      EXPECT_EQ(message, "User Abort");
      EXPECT_EQ(host.Percents.size(), 1u);
      EXPECT_LT(host.Percents.front(), 100);
      EXPECT_EQ(state, "No output was written");
      EXPECT_FALSE(Exists(out));
      EXPECT_FALSE(Exists(dir / "stopped.tfw"));
      continue;
    }
    EXPECT_EQ(message, "Successful Finish");
    EXPECT_GE(host.Percents.size(), 2u);
    EXPECT_EQ(host.Percents.back(), 100);
    EXPECT_GT(ReadBytes(out).size(), 36000000u);
  }
}

}  // namespace
}  // namespace mirava
