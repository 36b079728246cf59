#include "dataset/DataSet.h"

#include <gtest/gtest.h>

#include "TestUtil.h"

using namespace mirava;
using namespace mirava::test;

TEST(FormatDetection, ByExtension) {
  EXPECT_EQ(FormatFromExtension("out.TIFF"), fcTiff);
  EXPECT_EQ(FormatFromExtension("out.tif"), fcTiff);
  EXPECT_EQ(FormatFromExtension("out.jpeg"), fcUnknown);
  EXPECT_EQ(FormatFromExtension("x.gif"), fcGif);
  EXPECT_EQ(FormatFromExtension("x.dcr"), fcDcr);
  EXPECT_EQ(FormatFromExtension("/d/v1.tif/out"), fcUnknown);
  EXPECT_EQ(FormatFromExtension("a.hgt"), fcHgt);
}

TEST(FormatDetection, BySignatureThenExtension) {
  TempDir dir;
  auto detect = [&](const std::string& name, std::vector<uint8_t> bytes) {
    bytes.resize(std::max<size_t>(bytes.size(), 8), 0x20);
    WriteBytes(dir / name, bytes);
    return FormatFromSignature(dir / name);
  };
  EXPECT_EQ(detect("a", {0x49, 0x49, 0x2A, 0x00}), fcTiff);
  EXPECT_EQ(detect("b", {'I', 'I', 'I', 'I'}), fcQuad);
  EXPECT_EQ(detect("c", {'D', 'a', 't', 'a'}), fcErs);
  EXPECT_EQ(detect("d", {'o', 'r', 't', 'h'}), fcOsd);
  EXPECT_EQ(detect("e", {0x65, 0x02, 0x01, 0x02}), fcEcw);
  EXPECT_EQ(detect("f", {0xFF, 0xD8}), fcJpeg);
  EXPECT_EQ(detect("g", {'b', 'i', 't', 'r'}), fcUnknown);  // exact case only
  EXPECT_EQ(detect("h", {'B', 'I', 'T', 'R'}), fcBit);
  EXPECT_EQ(detect("i", {'m', 'm', 0, 0x2A}), fcTiff);
  EXPECT_EQ(detect("j", {'G', 'I', 'F', '8'}), fcGif);
  EXPECT_EQ(detect("k", {'b', 'm'}), fcBmp);
  EXPECT_EQ(detect("l", {'r', 's', 'w'}), fcRsw);
  EXPECT_EQ(detect("m", {0x00, 0x00, 0x80, 0xBF}), fcDtm);
  EXPECT_EQ(detect("n", {'B', 'Y', 'T', 'R'}), fcByt);
  EXPECT_EQ(detect("a.001", {1, 2, 3}), fcNog);
  EXPECT_EQ(detect("a.veg", {1, 2, 3}), fcVeg);
  EXPECT_EQ(detect("a.ecw", {1, 2, 3}), fcEcw);
  EXPECT_EQ(detect("a.dtm", {1, 2, 3}), fcUnknown);
  // A tile's first height may spell another format's signature.
  EXPECT_EQ(detect("N45E006.hgt", {0xFF, 0xD8}), fcHgt);
  EXPECT_EQ(detect("a.tif", {0xFF, 0xD8}), fcJpeg);
  EXPECT_EQ(FormatFromSignature(dir / "missing"), fcNoFile);
  WriteBytes(dir / "five", {1, 2, 3, 4, 5});
  std::string ioError;
  EXPECT_EQ(FormatFromSignature(dir / "five", &ioError), fcUnknown);
  EXPECT_EQ(ioError, "Reached the end of the file " + (dir / "five"));
  // The reason belongs to that call: a later file that reads well but has no
  // known signature is reported as such, not with the earlier reason.
  WriteBytes(dir / "plain.txt", std::vector<uint8_t>(16, 'x'));
  TDataSet2 set;
  EXPECT_FALSE(set.Open(dir / "five", 0, 0, 1, 1, omRead));
  EXPECT_FALSE(set.Open(dir / "plain.txt", 0, 0, 1, 1, omRead));
  EXPECT_EQ(set.GetErrorText(), "Unknown file format: " + (dir / "plain.txt") +
                                    "\nIts first bytes are those of no format Mirava reads; "
                                    "mirava-cli --formats lists the formats it reads");
}

TEST(DataSetFacade, WithoutADataSet) {
  TDataSet2 facade;
  EXPECT_EQ(facade.GetCellType(), 1);
  EXPECT_EQ(facade.GetCellSizeX(), 1.0);
  EXPECT_EQ(facade.GetBandCount(), 0);
  EXPECT_EQ(facade.GetControlPoints(), nullptr);
  float v = 7;
  EXPECT_FALSE(facade.ReadCell(0, 0, 0, v));
  EXPECT_EQ(v, 7);
  std::string text = "unchanged";
  facade.GetDatum(text);
  EXPECT_EQ(text, "unchanged");
  EXPECT_FALSE(facade.Open("", 0, 0, 1, 1, omRead));
  EXPECT_EQ(facade.GetErrorText(), "No file name");
  EXPECT_FALSE(facade.Open("/no/such/file.ers", 0, 0, 1, 1, omRead));
  EXPECT_EQ(facade.GetErrorText(), "No file: /no/such/file.ers");
}

TEST(DataSetFacade, CellSizeZeroReadsAsOne) {
  TempDir dir;
  TDataSet2 facade;
  ASSERT_TRUE(facade.Open(dir / "z.ers", 2, 2, 1, 1, omCreate));
  facade.SetGeoreference("RAW", "RAW", 0, 0, 0, 0, 0, 0, "RAW");
  EXPECT_EQ(facade.GetDataSet()->GetCellSizeX(), 0);  // stored as given
  EXPECT_EQ(facade.GetCellSizeX(), 1.0);
  EXPECT_EQ(facade.GetCellSizeY(), 1.0);
  EXPECT_TRUE(facade.Close());
}

namespace {

// The smallest concrete dataset: the base's own georeference behaviour.
class TPlainDataSet : public TDataSetRoot2 {
 public:
  bool Open(const std::string&, uint32_t, uint32_t, uint8_t, uint32_t, uint8_t) override {
    return true;
  }
  bool OpenRead(const std::string&) override { return true; }
  bool Crop(uint32_t, uint32_t, uint32_t, uint32_t) override { return false; }
  int32_t GetBandCount() override { return 1; }
  int32_t GetRowCount() override { return 1; }
  int32_t GetColumnCount() override { return 1; }
  uint8_t GetCellType() override { return 1; }
  bool IsMSBFirst() override { return false; }
  bool SetGeoreference(const std::string&, const std::string&, double, double, double, double,
                       double, double, const std::string&) override {
    return true;
  }
};

}  // namespace

TEST(DataSetRoot, GeoreferenceModel) {
  TPlainDataSet d;
  double x, y, c, r;
  d.PixelToWorld(10, 5, x, y);
  EXPECT_EQ(x, 10);
  EXPECT_EQ(y, -5);
  d.WorldToPixel(10, -5, c, r);
  EXPECT_EQ(c, 10);
  EXPECT_EQ(r, 5);
  d.SetRegistrationCellX(0.5);
  d.SetRegistrationCellY(0.5);
  d.SetRegistrationX(1000);
  d.SetRegistrationY(2000);
  d.SetCellSizeX(10);
  d.SetCellSizeY(20);
  EXPECT_EQ(d.GetOriginX(), 995);
  EXPECT_EQ(d.GetOriginY(), 2010);
  d.SetCellSizeX(0);
  EXPECT_EQ(d.GetCellSizeX(), 1.0);
  EXPECT_EQ(d.GetOriginX(), 999.5);
  d.SetCoordinateType(2);
  EXPECT_EQ(d.GetCoordinateType(), 1);
  std::string name;
  d.GetSpheroid(name);
  EXPECT_EQ(name, "RAW");
  d.SetControlPoints(new TGCPList);  // owned from here on
  d.SetControlPoints(d.GetControlPoints());
  EXPECT_NE(d.GetControlPoints(), nullptr);
}
