#include "formats/image/jp2/Jp2Boxes.h"

#include <gtest/gtest.h>

#include "../../TestUtil.h"
#include "ImageTestUtil.h"

namespace mirava {
namespace {

using namespace mirava::test;

// A VRT of 20 x 10 bytes holding `geo` (SRS, GeoTransform or GCPList) and
// band elements `band`, turned by GDAL into `name` with `options`.
std::string GdalMade(const TempDir& dir, const std::string& name, const std::string& geo,
                     const std::string& options, const std::string& band = "", int bands = 1) {
  std::string vrt = "<VRTDataset rasterXSize=\"20\" rasterYSize=\"10\">" + geo;
  for (int b = 1; b <= bands; ++b)
    vrt += "<VRTRasterBand dataType=\"Byte\" band=\"" + std::to_string(b) + "\">" + band +
           "</VRTRasterBand>";
  WriteText(dir / "in.vrt", vrt + "</VRTDataset>");
  const CommandResult r = Run("gdal_translate -q -of JP2OpenJPEG " + options + " " +
                              Quote(dir / "in.vrt") + " " + Quote(dir / name));
  EXPECT_EQ(r.ExitCode, 0) << r.Output;
  return dir / name;
}

TJp2Boxes Read(const std::string& file) {
  TJp2Boxes boxes;
  const std::vector<uint8_t> bytes = ReadBytes(file);
  const TError error = ReadJp2Boxes(bytes, file, boxes);
  EXPECT_FALSE(error.Failed()) << error.Text;
  return boxes;
}

TEST(Jp2Boxes, LocatesTheCodestreamAndHeaderOfGdalFiles) {
  if (!HaveGdal()) GTEST_SKIP();
  const TempDir dir;
  const std::string jp2 = GdalMade(dir, "a.jp2", "", "-co GeoJP2=NO -co GMLJP2=NO", "", 3);
  const std::string j2k = GdalMade(dir, "a.j2k", "", "-co CODEC=J2K", "", 3);
  const TJp2Boxes wrapped = Read(jp2), raw = Read(j2k);
  EXPECT_TRUE(wrapped.Wrapped);
  EXPECT_EQ(wrapped.Width, 20u);
  EXPECT_EQ(wrapped.Height, 10u);
  EXPECT_EQ(wrapped.Components, 3u);
  EXPECT_EQ(wrapped.Bits, 8);
  EXPECT_FALSE(wrapped.Signed);
  EXPECT_FALSE(wrapped.Georeference.Placed);
  // The codestream GDAL writes the same into either file.
  const std::vector<uint8_t> inJp2 = ReadBytes(jp2), inJ2k = ReadBytes(j2k);
  ASSERT_EQ(wrapped.CodestreamOffset + wrapped.CodestreamLength, inJp2.size());
  EXPECT_EQ(std::vector<uint8_t>(inJp2.begin() + wrapped.CodestreamOffset, inJp2.end()), inJ2k);
  EXPECT_FALSE(raw.Wrapped);
  EXPECT_EQ(raw.CodestreamOffset, 0u);
  EXPECT_EQ(raw.CodestreamLength, inJ2k.size());
}

// Our header before a GDAL-made codestream, its length patched as the
// writer patches it.
std::string Wrap(const TempDir& dir, const TJp2Header& header, const std::string& j2k) {
  std::vector<uint8_t> bytes = Jp2HeaderBytes(header);
  const std::vector<uint8_t> codestream = ReadBytes(j2k);
  const std::array<uint8_t, 8> length = Jp2CodestreamBoxLength(codestream.size());
  std::copy(length.begin(), length.end(),
            bytes.begin() + Jp2CodestreamLengthOffset(bytes.size()));
  bytes.insert(bytes.end(), codestream.begin(), codestream.end());
  WriteBytes(dir / "ours.jp2", bytes);
  return dir / "ours.jp2";
}

TEST(Jp2Boxes, GdalReadsOurHeaderBeforeItsCodestream) {
  if (!HaveGdal()) GTEST_SKIP();
  const TempDir dir;
  for (const int bands : {1, 3}) {
    const std::string j2k = GdalMade(dir, "a.j2k", "", "-co CODEC=J2K", "", bands);
    TJp2Header header;
    header.Width = 20;
    header.Height = 10;
    header.Components = bands;
    header.Color = bands == 3;
    const std::string ours = Wrap(dir, header, j2k);
    GdalRaster in, out;
    ASSERT_TRUE(ReadWithGdal(j2k, in));
    ASSERT_TRUE(ReadWithGdal(ours, out));
    EXPECT_EQ(out.Bands, bands);
    EXPECT_EQ(out.Cells, in.Cells);
    EXPECT_NE(test::Run("gdalinfo " + Quote(ours)).Output.find(bands == 3 ? "ColorInterp=Red"
                                                                     : "ColorInterp=Gray"),
              std::string::npos);
    const TJp2Boxes boxes = Read(ours);
    EXPECT_EQ(boxes.CodestreamLength, ReadBytes(j2k).size());
    EXPECT_EQ(boxes.Components, uint32_t(bands));
  }
}

// Every cut of a GDAL-made file, and lengths that lie, give a failure that
// names the file, never a crash.
TEST(Jp2Boxes, MalformedFilesFail) {
  if (!HaveGdal()) GTEST_SKIP();
  const TempDir dir;
  const std::vector<uint8_t> good = ReadBytes(GdalMade(dir, "a.jp2", "", ""));
  auto fails = [](const std::vector<uint8_t>& bytes) {
    TJp2Boxes boxes;
    const TError error = ReadJp2Boxes(bytes, "x.jp2", boxes);
    return error.Code == TErrorCode::Format && error.Text.find("x.jp2") == 0;
  };
  for (size_t size = 0; size < good.size(); ++size)
    EXPECT_TRUE(fails({good.begin(), good.begin() + size})) << "cut at " << size;
  std::vector<uint8_t> bytes = good;
  bytes[12 + 3] = 0xF0;  // ftyp runs past the end
  EXPECT_TRUE(fails(bytes));
  bytes = good;
  bytes[12 + 3] = 0;  // ftyp runs to the end, swallowing the codestream
  EXPECT_TRUE(fails(bytes));
  bytes = good;
  bytes[12 + 3] = 1;  // an XLBox shorter than its header
  EXPECT_TRUE(fails(bytes));
}

}  // namespace
}  // namespace mirava
