#include "app/Thumbnail.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <chrono>
#include <condition_variable>
#include <cstdio>

#include "PreviewRasters.h"
#include "app/ThumbnailLoader.h"

using namespace mirava;
using namespace mirava::test;

namespace {

const int32_t kKinds[] = {0, 1, 4, 5, 3, 2};
std::atomic<bool> NotCancelled{false};

std::array<uint32_t, 4> Corners(const TImage& image) {
  return {image.At(0, 0), image.At(image.Width - 1, 0), image.At(0, image.Height - 1),
          image.At(image.Width - 1, image.Height - 1)};
}

uint32_t Grey(uint32_t pixel) { return pixel & 0xff; }

}  // namespace

TEST(Thumbnail, PlacementsTurnCornersAndMarkers) {
  TempDir dir;
  WriteCornerRaster(dir / "corners.ers");
  for (int32_t side : {kThumbnailSide, 20}) {
    const TThumbnail thumbnail = ReadThumbnail(dir / "corners.ers", NotCancelled, side);
    ASSERT_EQ(thumbnail.ErrorText, "");
    const double scale = side == 20 ? 0.5 : 1.0;
    EXPECT_EQ(thumbnail.Image.Width, kCornerColumns * scale);
    EXPECT_EQ(thumbnail.Image.Height, kCornerRows * scale);
    for (int32_t kind : kKinds) {
      SCOPED_TRACE("kind " + std::to_string(kind) + ", side " + std::to_string(side));
      const TImage placed = PlaceImage(thumbnail.Image, kind);
      const bool swapped = kind == 2 || kind == 3;
      EXPECT_EQ(placed.Width, swapped ? thumbnail.Image.Height : thumbnail.Image.Width);
      EXPECT_EQ(Corners(placed), PlacedCorners(kind));
      const auto markers = PlacedMarkers(thumbnail.Facts, kind, placed.Width, placed.Height);
      ASSERT_EQ(markers.size(), 1u);
      EXPECT_EQ(markers[0].Name, "P1");
      EXPECT_DOUBLE_EQ(markers[0].X, PlacedPoint(kind)[0] * scale);
      EXPECT_DOUBLE_EQ(markers[0].Y, PlacedPoint(kind)[1] * scale);
    }
  }
}

// The placed thumbnail is the thumbnail of what the job writes.
TEST(Thumbnail, PlacedThumbnailMatchesTheJobsOutput) {
  TempDir dir;
  WriteCornerRaster(dir / "corners.ers");
  const TThumbnail input = ReadThumbnail(dir / "corners.ers", NotCancelled);
  for (int32_t kind : kKinds) {
    SCOPED_TRACE("kind " + std::to_string(kind));
    const std::string out = dir / ("out" + std::to_string(kind) + ".ers");
    ASSERT_EQ(RunCli({dir / "corners.ers", out, "/" + std::to_string(kind)}).ExitCode, 0);
    const TThumbnail output = ReadThumbnail(out, NotCancelled);
    const TImage placed = PlaceImage(input.Image, kind);
    EXPECT_EQ(placed.Width, output.Image.Width);
    EXPECT_EQ(placed.Pixels, output.Image.Pixels);
    const auto markers = PlacedMarkers(input.Facts, kind, placed.Width, placed.Height);
    ASSERT_EQ(output.Facts.ControlPoints.size(), 1u);
    EXPECT_DOUBLE_EQ(markers[0].X, output.Facts.ControlPoints[0].Column);
    EXPECT_DOUBLE_EQ(markers[0].Y, output.Facts.ControlPoints[0].Row);
  }
}

// Palette images made by GDAL show their palette's colours, not their
// indices: a bitmap, read as colours, and a TIFF, read as indices with their
// table (whose output into a picture format then has three bands).
TEST(Thumbnail, PaletteImageInItsColours) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  TestRaster indices;
  indices.Columns = 4;
  indices.Rows = 2;
  indices.Bands = 1;
  WriteErs(dir / "indices.ers", indices);
  WriteBytes(dir / "indices", {0, 1, 2, 3, 3, 2, 1, 0});
  std::string entries;
  for (const char* entry : {"255\" c2=\"0\" c3=\"0", "0\" c2=\"255\" c3=\"0",
                            "0\" c2=\"0\" c3=\"255", "255\" c2=\"255\" c3=\"0"})
    entries += std::string("<Entry c1=\"") + entry + "\" c4=\"255\"/>";
  WriteText(dir / "palette.vrt",
            "<VRTDataset rasterXSize=\"4\" rasterYSize=\"2\"><VRTRasterBand dataType=\"Byte\" "
            "band=\"1\"><ColorInterp>Palette</ColorInterp><ColorTable>" +
                entries +
                "</ColorTable><SimpleSource><SourceFilename relativeToVRT=\"1\">indices.ers"
                "</SourceFilename><SourceBand>1</SourceBand></SimpleSource></VRTRasterBand>"
                "</VRTDataset>");
  const std::vector<uint32_t> expected = {0xffff0000u, 0xff00ff00u, 0xff0000ffu, 0xffffff00u,
                                          0xffffff00u, 0xff0000ffu, 0xff00ff00u, 0xffff0000u};
  for (const char* name : {"p.bmp", "p.tif"}) {
    const auto made =
        test::Run("gdal_translate -q " + Quote(dir / "palette.vrt") + " " + Quote(dir / name));
    ASSERT_EQ(made.ExitCode, 0) << made.Output;
    const TThumbnail thumbnail = ReadThumbnail(dir / name, NotCancelled);
    ASSERT_EQ(thumbnail.ErrorText, "");
    EXPECT_EQ(thumbnail.Image.Pixels, expected) << name;
  }
  const TThumbnail tif = ReadThumbnail(dir / "p.tif", NotCancelled);
  EXPECT_EQ(DescribeOutput(tif.Facts, 0, "/o/x.jpg"), "Output 4 \xc3\x97 2 \xc3\x97 3 bands, JPEG");
  EXPECT_EQ(DescribeOutput(tif.Facts, 0, "/o/x.tif"), "Output 4 \xc3\x97 2 \xc3\x97 1 band, TIFF");
}

TEST(Thumbnail, HeightsStretchedWithoutVoidsOrSpikes) {
  TempDir dir;
  WriteHeightRaster(dir / "heights.ers");
  const TThumbnail thumbnail = ReadThumbnail(dir / "heights.ers", NotCancelled);
  ASSERT_EQ(thumbnail.ErrorText, "");
  const TImage& image = thumbnail.Image;
  ASSERT_EQ(image.Width, 100);
  // Voids are transparent and take no part in the stretch.
  EXPECT_EQ(image.At(0, 0), 0u);
  EXPECT_EQ(image.At(9, 9), 0u);
  EXPECT_EQ(image.At(10, 9) >> 24, 0xffu);
  EXPECT_EQ(image.At(0, 10) >> 24, 0xffu);
  // The lowest and highest 2% saturate; the spike does not squeeze the rest.
  EXPECT_EQ(Grey(image.At(0, 20)), 0u);
  EXPECT_EQ(Grey(image.At(1, 20)), 0u);
  EXPECT_EQ(Grey(image.At(98, 20)), 255u);
  EXPECT_EQ(Grey(image.At(99, 49)), 255u);
  EXPECT_NEAR(Grey(image.At(50, 20)), 128, 6);
  for (int x = 1; x < 100; ++x) EXPECT_GE(Grey(image.At(x, 30)), Grey(image.At(x - 1, 30)));
  // Grey: the three channels alike.
  EXPECT_EQ(image.At(50, 20) & 0xffffff, Grey(image.At(50, 20)) * 0x010101u);
}

TEST(Thumbnail, LargeRasterIsSampledNotRead) {
  TempDir dir;
  const std::string header = dir / "large.ers";
  WriteSparseRaster(header, 32768);
  const TThumbnail thumbnail = ReadThumbnail(header, NotCancelled);
  ASSERT_EQ(thumbnail.ErrorText, "");
  EXPECT_EQ(thumbnail.Image.Width, kThumbnailSide);
  EXPECT_EQ(thumbnail.Image.Height, kThumbnailSide);
  EXPECT_EQ(thumbnail.CellsRead, uint64_t{kThumbnailSide} * kThumbnailSide);
  EXPECT_EQ(thumbnail.Facts.Columns, 32768);
}

TEST(Thumbnail, FailuresAndCancellation) {
  TempDir dir;
  const TThumbnail missing = ReadThumbnail(dir / "none.ers", NotCancelled);
  EXPECT_EQ(missing.ErrorText.rfind("No file: ", 0), 0u) << missing.ErrorText;
  EXPECT_TRUE(missing.Image.Pixels.empty());

  WriteCornerRaster(dir / "corners.ers");
  std::atomic<bool> cancelled{true};
  const TThumbnail stopped = ReadThumbnail(dir / "corners.ers", cancelled);
  EXPECT_TRUE(stopped.Cancelled);
  EXPECT_EQ(stopped.CellsRead, 0u);
}

TEST(Thumbnail, Descriptions) {
  TThumbnail lux = ReadThumbnail(Sample("luxembourg.ers"), NotCancelled);
  ASSERT_EQ(lux.ErrorText, "");
  const auto lines = DescribeInput(lux.Facts);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "ER Mapper, 95 \xc3\x97 90 \xc3\x97 1 band, signed 16-bit");
  EXPECT_EQ(lines[1], "Cells 0.008333333333 \xc3\x97 0.008333333333");
  EXPECT_EQ(lines[2], "Top left 5.741666667, 50.19166667");
  EXPECT_EQ(lines[3], "Projection GEODETIC");
  EXPECT_EQ(lines[4], "Datum WGS84");
  EXPECT_EQ(lines[5], "4 control points");
  // A placement says what the georeference keeps.
  EXPECT_EQ(DescribeOutput(lux.Facts, 3, "/o/x.tif"),
            "Output 90 \xc3\x97 95 \xc3\x97 1 band, TIFF; the input's frame (corner and cell "
            "sizes) kept");
  EXPECT_EQ(DescribeOutput(lux.Facts, 5, "/o/x.bmp", true),
            "Output 95 \xc3\x97 90 \xc3\x97 1 band, BMP; cells kept over their ground");
  EXPECT_EQ(DescribeOutput(lux.Facts, 0, "/o/x.bmp", true),
            "Output 95 \xc3\x97 90 \xc3\x97 1 band, BMP");
  EXPECT_EQ(DescribeOutput(lux.Facts, 0, "/o.d/x"),
            "Output 95 \xc3\x97 90 \xc3\x97 1 band, no extension to pick the format");
  EXPECT_EQ(DescribeOutput(lux.Facts, 0, "/o/x.png"),
            "Output 95 \xc3\x97 90 \xc3\x97 1 band, no format has the extension \".png\"");
  EXPECT_EQ(DescribeOutput(lux.Facts, 0, ""), "Output 95 \xc3\x97 90 \xc3\x97 1 band");

  // Names that are only the system's code: what the code stands for.
  TempDir dir;
  std::string header = ReadText(Sample("luxembourg.ers"));
  for (const char* name : {"\"WGS84\"", "\"GEODETIC\""})
    header.replace(header.find(name), std::string(name).size(), "\"EPSG:31985\"");
  WriteText(dir / "utm.ers", header);
  std::filesystem::copy_file(Sample("luxembourg"), dir / "utm");
  const TThumbnail utm = ReadThumbnail(dir / "utm.ers", NotCancelled);
  ASSERT_EQ(utm.ErrorText, "");
  const auto named = DescribeInput(utm.Facts);
  EXPECT_EQ(named[3], "Projection EPSG:31985 (SIRGAS 2000 / UTM zone 25S)");
  EXPECT_EQ(named[4],
            "Datum Sistema de Referencia Geocentrico para las AmericaS 2000, spheroid GRS 1980");
}

// A second input while the first is read: the last ticket brings the last
// input, and nothing of a cancelled read is delivered.
TEST(ThumbnailLoader, NewInputReplacesTheOld) {
  TempDir dir;
  WriteCornerRaster(dir / "corners.ers");
  WriteHeightRaster(dir / "heights.ers");
  std::mutex lock;
  std::condition_variable arrived;
  std::vector<std::pair<uint64_t, TThumbnail>> results;
  uint64_t last = 0;
  {
    TThumbnailLoader loader([&](uint64_t ticket, TThumbnail thumbnail) {
      std::lock_guard<std::mutex> guard(lock);
      results.emplace_back(ticket, std::move(thumbnail));
      arrived.notify_all();
    });
    for (int i = 0; i < 20; ++i) loader.Load(dir / (i % 2 ? "heights.ers" : "corners.ers"));
    last = loader.Load(dir / "corners.ers");
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(arrived.wait_for(guard, std::chrono::seconds(30),
                                 [&] { return !results.empty() && results.back().first == last; }));
  }
  EXPECT_EQ(last, 21u);
  EXPECT_EQ(results.back().second.Facts.Bands, 3);
  for (size_t i = 1; i < results.size(); ++i) EXPECT_LT(results[i - 1].first, results[i].first);
  for (const auto& [ticket, thumbnail] : results) EXPECT_FALSE(thumbnail.Cancelled);

  // Destroyed while a read may be under way: it returns.
  TThumbnailLoader busy([](uint64_t, TThumbnail) {});
  busy.Load(dir / "heights.ers");
}

// Run by scripts/bench-preview.sh: how long the thumbnail of a 1 GiB raster
// takes, the file's pages not yet cached.
TEST(ThumbnailBench, DISABLED_LargeSparseRaster) {
  TempDir dir;
  const std::string header = dir / "large.ers";
  WriteSparseRaster(header, 32768);
  const auto start = std::chrono::steady_clock::now();
  const TThumbnail thumbnail = ReadThumbnail(header, NotCancelled);
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(thumbnail.ErrorText, "");
  std::printf("thumbnail of a 1 GiB raster: %.3f s, %llu cells read\n", seconds.count(),
              static_cast<unsigned long long>(thumbnail.CellsRead));
}
