#include "dataset/DataSet.h"

#include <gtest/gtest.h>

#include "TestUtil.h"

using namespace mirava;
using namespace mirava::test;

TEST(FormatDetection, ByExtension) {
  EXPECT_EQ(FormatFromExtension("out.TIFF"), fcTiff);
  EXPECT_EQ(FormatFromExtension("out.tif"), fcTiff);
  EXPECT_EQ(FormatFromExtension("out.JPEG"), fcJpeg);
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
  TError ioError;
  EXPECT_EQ(FormatFromSignature(dir / "five", &ioError), fcUnknown);
  EXPECT_EQ(ioError.Text, "Reached the end of the file " + (dir / "five"));
  // The reason belongs to that call: a later file that reads well but has no
  // known signature is reported as such, not with the earlier reason.
  WriteBytes(dir / "plain.txt", std::vector<uint8_t>(16, 'x'));
  TDataSet2 set;
  EXPECT_FALSE(set.Open(dir / "five", 0, 0, 1, 1, omRead));
  EXPECT_FALSE(set.Open(dir / "plain.txt", 0, 0, 1, 1, omRead));
  EXPECT_EQ(set.Error().Text, "Unknown file format: " + (dir / "plain.txt") +
                                  "\nIts first bytes are those of no format Mirava reads; "
                                  "mirava-cli --formats lists the formats it reads");
}

TEST(DataSetFacade, WithoutADataSet) {
  TDataSet2 facade;
  EXPECT_EQ(facade.GetCellType(), 1);
  EXPECT_EQ(facade.GetGeoreference().Affine.CellSizeX, 1.0);
  EXPECT_FALSE(facade.GetGeoreference().Placed);
  EXPECT_EQ(facade.GetBandCount(), 0);
  EXPECT_EQ(facade.GetControlPoints(), nullptr);
  float v = 7;
  EXPECT_EQ(facade.ReadCell(0, 0, 0, v), TCellRead::NoData);
  EXPECT_EQ(v, 7);
  EXPECT_EQ(facade.GetGeoreference().Datum, "RAW");
  EXPECT_FALSE(facade.Open("", 0, 0, 1, 1, omRead));
  EXPECT_EQ(facade.Error().Text, "No file name");
  EXPECT_FALSE(facade.Open("/no/such/file.ers", 0, 0, 1, 1, omRead));
  EXPECT_EQ(facade.Error().Text, "No file: /no/such/file.ers");
}

TEST(DataSetFacade, CellSizeZeroReadsAsOne) {
  TempDir dir;
  TDataSet2 facade;
  ASSERT_TRUE(facade.Open(dir / "z.ers", 2, 2, 1, 1, omCreate));
  TGeoreference zero;
  zero.Affine = {0, 0, 0, 0, 0, 0};
  facade.SetGeoreference(zero);
  const TGeoreference stored = facade.GetGeoreference();
  EXPECT_EQ(stored.Affine.CellSizeX, 0);  // stored as given
  EXPECT_EQ(stored.Affine.StepX(), 1.0);
  EXPECT_EQ(stored.Affine.StepY(), 1.0);
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
  int32_t GetBandCount() override { return 1; }
  int32_t GetRowCount() override { return 1; }
  int32_t GetColumnCount() override { return 1; }
  uint8_t GetCellType() override { return 1; }
  bool SetGeoreference(const TGeoreference& georeference) override {
    KeepGeoreference(georeference);
    return true;
  }
};

}  // namespace

TEST(DataSetRoot, GeoreferenceModel) {
  TPlainDataSet d;
  TGeoreference g = d.GetGeoreference();
  EXPECT_FALSE(g.Placed);
  EXPECT_EQ(g.Spheroid, "RAW");
  double x, y, c, r;
  g.Affine.PixelToWorld(10, 5, x, y);
  EXPECT_EQ(x, 10);
  EXPECT_EQ(y, -5);
  g.Affine.WorldToPixel(10, -5, c, r);
  EXPECT_EQ(c, 10);
  EXPECT_EQ(r, 5);
  // Only a header format keeps longitude and latitude.
  g.Geographic = true;
  d.PlanGeoreference(g);
  EXPECT_FALSE(d.GetGeoreference().Geographic);
  g.Affine = {10, 0, 0, 20, 995, 2010};
  g.Datum = "WGS84";
  ASSERT_TRUE(d.SetGeoreference(g));
  EXPECT_TRUE(d.GetGeoreference().Placed);
  EXPECT_EQ(d.GetGeoreference().Affine.X0, 995);
  EXPECT_EQ(d.GetGeoreference().Affine.Y0, 2010);
  EXPECT_EQ(d.GetGeoreference().Datum, "WGS84");
  // A cell size of 0 reads as 1 unless the georeference is turned.
  g.Affine.CellSizeX = 0;
  d.SetGeoreference(g);
  EXPECT_EQ(d.GetGeoreference().Affine.CellSizeX, 1.0);
  g.Affine.RowTermX = 10;
  d.SetGeoreference(g);
  EXPECT_EQ(d.GetGeoreference().Affine.CellSizeX, 0);
  d.SetControlPoints(new TGCPList);  // owned from here on
  d.SetControlPoints(d.GetControlPoints());
  EXPECT_NE(d.GetControlPoints(), nullptr);
}
