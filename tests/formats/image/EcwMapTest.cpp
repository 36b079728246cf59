#include "formats/image/EcwMap.h"

#include <gtest/gtest.h>

#include <thread>

#include "PictureTestUtil.h"

using namespace mirava;
using namespace mirava::test;

namespace {

// Creates an ECW of the picture through the dataset, as the worker does.
bool WriteEcw(const std::string& path, const TRaster& p, std::string& error) {
  TECWMap2 ecw;
  if (!ecw.Open(path, p.Columns, p.Rows, 1, p.Bands, omCreate)) {
    error = ecw.Error().Text;
    return false;
  }
  ecw.SetGeoreference(PlacedAt(0.5, 0.25, 300000, 4000000, "WGS84", "WGS84", "NUTM33"));
  for (int r = 0; r < p.Rows; ++r)
    for (int b = 0; b < p.Bands; ++b)
      for (int c = 0; c < p.Columns; ++c) ecw.WriteCell(c, r, b, p.At(c, r, b));
  const bool ok = ecw.Close();
  error = ecw.Error().Text;
  return ok;
}

}  // namespace

TEST(EcwMap, OneAndThreeBandImagesRoundTripExactly) {
  TempDir dir;
  for (int bands : {1, 3}) {
    // 61 columns: a 1-band row of the buffer holds 64 bytes, far fewer than
    // the 183 the reader delivers a line.
    const TRaster picture = Picture(61, 47, bands);
    std::string error;
    ASSERT_TRUE(WriteEcw(dir / "p.ecw", picture, error)) << error;
    EXPECT_LT(ReadBytes(dir / "p.ecw").size(), picture.Cells.size());
    EXPECT_FALSE(Exists(dir / "p.ecw.part"));

    TECWMap2 ecw;
    ASSERT_TRUE(ecw.Open(dir / "p.ecw", 0, 0, 1, 1, omRead)) << ecw.Error().Text;
    EXPECT_EQ(ecw.GetBandCount(), bands);
    EXPECT_EQ(ecw.GetLineLength(), bands == 1 ? 64u : 184u);
    EXPECT_DOUBLE_EQ(ecw.GetGeoreference().Affine.CellSizeX, 0.5);
    EXPECT_DOUBLE_EQ(ecw.GetGeoreference().Affine.CellSizeY, 0.25);  // stored as -0.25
    EXPECT_DOUBLE_EQ(ecw.GetGeoreference().Affine.X0, 300000);
    EXPECT_DOUBLE_EQ(ecw.GetGeoreference().Affine.Y0, 4000000);
    double x, y;
    ecw.GetGeoreference().Affine.PixelToWorld(4, 8, x, y);
    EXPECT_DOUBLE_EQ(x, 300002);
    EXPECT_DOUBLE_EQ(y, 3999998);
    EXPECT_EQ(PlacedDifference(picture, ReadRaster(dir / "p.ecw")), 0);
    // The fill bytes after each row stay zero: nothing ran past a row.
    const TImageBuffer& buffer = ecw.GetImageBuffer();
    for (uint32_t r = 0; r < buffer.Rows(); ++r)
      for (uint64_t i = 61u * bands; i < buffer.LineLength(); ++i)
        ASSERT_EQ(buffer.Row(r)[i], 0) << "row " << r;
  }
  // A blank image packs near deflate's limit and still opens.
  TECWMap2 blank;
  ASSERT_TRUE(blank.Open(dir / "blank.ecw", 4000, 3000, 1, 3, omCreate));
  ASSERT_TRUE(blank.Close()) << blank.Error().Text;
  EXPECT_LT(ReadBytes(dir / "blank.ecw").size(), 40000u);
  TECWMap2 blankBack;
  EXPECT_TRUE(blankBack.Open(dir / "blank.ecw", 0, 0, 1, 1, omRead)) << blankBack.Error().Text;

  TECWMap2 two, wide, update;
  EXPECT_FALSE(two.Open(dir / "x.ecw", 10, 10, 1, 2, omCreate));
  EXPECT_EQ(two.Error().Text, "ECW files hold 1 or 3 bands, not 2");
  EXPECT_FALSE(wide.Open(dir / "x.ecw", 1u << 27, 10, 1, 3, omCreate));
  EXPECT_FALSE(update.Open(dir / "p.ecw", 0, 0, 1, 1, omReadWrite));
}

TEST(EcwMap, RealEcwFilesAndDamagedFilesAreRefusedClearly) {
  TempDir dir;
  WriteBytes(dir / "real.ecw", {0x65, 0x02, 0x01, 0x02, 0, 0, 0, 0, 1, 2, 3, 4});
  EXPECT_EQ(FormatFromSignature(dir / "real.ecw"), fcEcw);
  std::string error = OpenError(dir / "real.ecw");
  EXPECT_NE(error.find("needs the ECW SDK"), std::string::npos) << error;

  // Our files are no ECW files: only the extension routes them.
  std::string ignored;
  ASSERT_TRUE(WriteEcw(dir / "ours.ecw", Picture(20, 10, 3), ignored));
  const std::vector<uint8_t> ours = ReadBytes(dir / "ours.ecw");
  EXPECT_NE(std::vector<uint8_t>(ours.begin(), ours.begin() + 4),
            std::vector<uint8_t>({0x65, 0x02, 0x01, 0x02}));
  WriteBytes(dir / "ours.bin", ours);
  EXPECT_EQ(FormatFromSignature(dir / "ours.bin"), fcUnknown);

  std::vector<uint8_t> cut(ours.begin(), ours.end() - 7);
  WriteBytes(dir / "cut.ecw", cut);
  error = OpenError(dir / "cut.ecw");
  EXPECT_NE(error.find("File is invalid or corrupt"), std::string::npos) << error;

  std::vector<uint8_t> flipped = ours;
  flipped[flipped.size() - 20] ^= 0x5A;
  WriteBytes(dir / "flipped.ecw", flipped);
  TECWMap2 damaged;
  EXPECT_FALSE(damaged.Open(dir / "flipped.ecw", 0, 0, 1, 1, omRead));
  EXPECT_EQ(damaged.Error().Text.rfind("Open read error 1 Status code: 1 ", 0), 0u)
      << damaged.Error().Text;

  // Headers claiming 2^31 columns, or 2^31 rows of its 20 columns (which
  // no deflate stream of this size holds), and one with 2 bands.
  for (size_t at : {15u, 19u}) {
    std::vector<uint8_t> huge = ours;
    huge[at] = 0x80;
    WriteBytes(dir / "huge.ecw", huge);
    EXPECT_NE(OpenError(dir / "huge.ecw").find("File is invalid or corrupt"), std::string::npos);
  }
  std::vector<uint8_t> twoBands = ours;
  twoBands[20] = 2;
  twoBands[22] = 3;
  WriteBytes(dir / "two.ecw", twoBands);
  EXPECT_EQ(OpenError(dir / "two.ecw"), "Open read error 1 Bands not 1 or 3: 2");
}

// The layer's error numbers reach the user as the job's message, in the
// layer's words and with the file's name.
TEST(EcwMap, LayerErrorsReachTheJobsMessage) {
  TempDir dir;
  std::string error;
  ASSERT_TRUE(WriteEcw(dir / "p.ecw", Picture(30, 12, 3), error)) << error;
  const std::vector<uint8_t> whole = ReadBytes(dir / "p.ecw");
  WriteBytes(dir / "cut.ecw", std::vector<uint8_t>(whole.begin(), whole.begin() + 100));
  const CommandResult cut = RunCli({dir / "cut.ecw", dir / "o.ers"});
  EXPECT_EQ(cut.ExitCode, 1);
  EXPECT_NE(
      cut.Output.find("Open read error 1 Error: File is invalid or corrupt: " + dir / "cut.ecw"),
      std::string::npos)
      << cut.Output;
  EXPECT_FALSE(Exists(dir / "o.ers"));
  // Numbers outside the table still read as words.
  EXPECT_EQ(NcsErrorText(-1), "Unknown NCSError value -1");
  EXPECT_EQ(ncs::NCSGetErrorText(12345), "ECW layer error 12345");
}

TEST(EcwMap, LayerViewsAndCompressorFailures) {
  TempDir dir;
  std::string error;
  const TRaster picture = Picture(30, 12, 3);
  ASSERT_TRUE(WriteEcw(dir / "p.ecw", picture, error)) << error;

  ncs::TFileViewPtr view;
  ASSERT_EQ(ncs::NCScbmOpenFileView(dir / "p.ecw", view), ncs::NCS_SUCCESS);
  ncs::NCSFileViewFileInfo info;
  ASSERT_EQ(ncs::NCScbmGetViewFileInfo(*view, info), ncs::NCS_SUCCESS);
  EXPECT_EQ(info.SizeX, 30u);
  EXPECT_EQ(info.Bands, 3);
  EXPECT_EQ(info.CellIncrementY, -0.25);  // the origin is the registration point
  EXPECT_EQ(info.OriginY, 4000000);
  EXPECT_EQ(info.CellSizeUnits, 3);
  uint8_t line[3 * 30 + 4];
  EXPECT_EQ(ncs::NCScbmReadViewLineRGB(*view, line), ncs::NCSECW_READ_FAILED);
  EXPECT_EQ(ncs::NCSGetLastError(), ncs::NCS_INVALID_SETVIEW);
  const uint32_t green = 1;
  EXPECT_EQ(ncs::NCScbmSetFileView(*view, 1, &green, 0, 0, 30, 11, 31, 12),
            ncs::NCS_REGION_OUTSIDE_FILE);
  EXPECT_EQ(ncs::NCScbmSetFileView(*view, 1, &green, 0, 0, 29, 11, 15, 6),
            ncs::NCS_INVALID_PARAMETER);
  // One band of a window: grey triplets, exactly 3 bytes a pixel.
  ASSERT_EQ(ncs::NCScbmSetFileView(*view, 1, &green, 5, 10, 9, 11, 5, 2), ncs::NCS_SUCCESS);
  std::fill(std::begin(line), std::end(line), 0xEE);
  ASSERT_EQ(ncs::NCScbmReadViewLineRGB(*view, line), ncs::NCSECW_READ_OK);
  for (uint32_t c = 0; c < 5; ++c)
    for (int k = 0; k < 3; ++k) EXPECT_EQ(line[3 * c + k], picture.At(5 + c, 10, 1));
  EXPECT_EQ(line[15], 0xEE);
  ASSERT_EQ(ncs::NCScbmReadViewLineRGB(*view, line), ncs::NCSECW_READ_OK);
  EXPECT_EQ(ncs::NCScbmReadViewLineRGB(*view, line), ncs::NCSECW_READ_FAILED);
  EXPECT_EQ(ncs::NCSGetLastError(), ncs::NCS_GENERATED_TOO_MANY_OUTPUT_LINES);
  ncs::NCScbmCloseFileViewEx(view, true);
  EXPECT_FALSE(view);

  // A callback that gives up: an error, and no file left behind.
  auto client = ncs::NCSEcwCompressAllocClient();
  client->OutputFileName = dir / "failed.ecw";
  client->SizeX = client->SizeY = 8;
  client->InputBands = 1;
  client->CompressFormat = ncs::COMPRESS_UINT8;
  client->ReadCallback = [](ncs::NCSEcwCompressClient*, uint32_t line, float**) {
    return line < 3;
  };
  ASSERT_EQ(ncs::NCSEcwCompressOpen(*client, false), ncs::NCS_SUCCESS);
  EXPECT_EQ(ncs::NCSEcwCompress(*client), ncs::NCS_COULDNT_READ_INPUT_LINE);
  EXPECT_EQ(ncs::NCSEcwCompressClose(*client), ncs::NCS_SUCCESS);
  EXPECT_FALSE(Exists(dir / "failed.ecw"));
  EXPECT_FALSE(Exists(dir / "failed.ecw.part"));
  client->CompressFormat = ncs::COMPRESS_RGB;
  EXPECT_EQ(ncs::NCSEcwCompressOpen(*client, false), ncs::NCS_INVALID_PARAMETER);
  client->CompressFormat = ncs::COMPRESS_UINT8;
  client->OutputFileName = dir / "missing/x.ecw";
  EXPECT_EQ(ncs::NCSEcwCompressOpen(*client, false), ncs::NCS_FILE_OPEN_ERROR);
  EXPECT_NE(ncs::NCSGetErrorText(ncs::NCS_FILE_OPEN_ERROR).find("No such file"), std::string::npos);
}

// The line callback finds its image through one process-wide reference:
// compressions from two threads must still each get their own image.
TEST(EcwMap, ConcurrentCompressionsKeepTheirImages) {
  TempDir dir;
  const TRaster a = Picture(300, 200, 3);
  TRaster b = Picture(300, 200, 3);
  for (float& v : b.Cells) v = 255 - v;
  std::string errorA, errorB;
  bool okA = false, okB = false;
  std::thread first([&] { okA = WriteEcw(dir / "a.ecw", a, errorA); });
  std::thread second([&] { okB = WriteEcw(dir / "b.ecw", b, errorB); });
  first.join();
  second.join();
  ASSERT_TRUE(okA) << errorA;
  ASSERT_TRUE(okB) << errorB;
  EXPECT_EQ(PlacedDifference(a, ReadRaster(dir / "a.ecw")), 0);
  EXPECT_EQ(PlacedDifference(b, ReadRaster(dir / "b.ecw")), 0);
}

TEST(EcwMap, EveryPlacementThroughTheCommandIsExact) {
  TempDir dir;
  const TGeo geo;
  for (int bands : {3, 1}) {
    WritePicture(dir / "in.ers", 45, 31, bands, geo);
    const TRaster in = ReadRaster(dir / "in.ers");
    for (int kind = 0; kind <= 5; ++kind) {
      ExpectCli({dir / "in.ers", dir / "out.ecw", "/" + std::to_string(kind)});
      ExpectCli({dir / "out.ecw", dir / "back.ers"});
      EXPECT_EQ(PlacedDifference(in, ReadRaster(dir / "back.ers"), kind), 0)
          << "kind " << kind << ", " << bands << " bands";
      const TRaster ecw = ReadRaster(dir / "out.ecw");
      EXPECT_EQ(ecw.OriginX, geo.OriginX);
      EXPECT_EQ(ecw.OriginY, geo.OriginY);
      EXPECT_EQ(ecw.CellSizeY, geo.CellSizeY);
    }
  }
  ExpectRefused({dir / "in.ers", dir / "gone/out.ecw"},
                "Output folder " + dir / "gone" + " does not exist", {dir / "gone/out.ecw"});
  ExpectRefused({Sample("elev.ers"), dir / "elev.ecw"}, "ECW files support only byte data",
                {dir / "elev.ecw"});
  // An ECW output says once that its layout is ours; another output does not.
  auto notes = [](const CommandResult& job) {
    size_t n = 0;
    for (size_t at = job.Output.find(kOwnEcwLayoutNote); at != std::string::npos;
         at = job.Output.find(kOwnEcwLayoutNote, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(notes(RunCli({dir / "in.ers", dir / "note.ecw", "/1"})), 1u);
  EXPECT_EQ(notes(RunCli({dir / "note.ecw", dir / "note.ers"})), 0u);
}
