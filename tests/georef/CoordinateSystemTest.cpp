#include "georef/CoordinateSystem.h"

#include <gtest/gtest.h>

using namespace mirava;

// Every code written as names reads back as the same code, ER Mapper's
// words and "EPSG:n" alike.
TEST(CoordinateSystem, NamesReadBackIntoTheSameCode) {
  std::vector<int> codes = {4326, 4269, 4267, 4283, 4202, 4674, 2154, 26771, 3857, 5070};
  for (int base : {32600, 32700})
    for (int zone = 1; zone <= 60; ++zone) codes.push_back(base + zone);
  for (int zone = 1; zone <= 23; ++zone) codes.push_back(26900 + zone);
  for (int zone = 48; zone <= 58; ++zone) codes.push_back(28300 + zone);
  for (int zone = 2; zone <= 32; ++zone) codes.push_back(28400 + zone);
  for (int code : codes) {
    const TErMapperNames names = ErMapperNamesOf(code);
    EXPECT_EQ(EpsgOfErMapperNames("\"" + names.Projection + "\"", names.Datum), code)
        << names.Projection << " " << names.Datum;
  }
  EXPECT_EQ(ErMapperNamesOf(32633).Projection, "NUTM33");
  EXPECT_EQ(ErMapperNamesOf(32725).Projection, "SUTM25");
  EXPECT_EQ(ErMapperNamesOf(28406).Projection, "TMGKN6");
  EXPECT_EQ(ErMapperNamesOf(4269).Projection, "GEODETIC");
  EXPECT_EQ(ErMapperNamesOf(31985).Datum, "EPSG:31985");
  EXPECT_TRUE(ErMapperNamesOf(26771).Feet);
  EXPECT_FALSE(ErMapperNamesOf(2154).Feet);
}

TEST(CoordinateSystem, NamesThatNameNoCode) {
  EXPECT_EQ(EpsgOfErMapperNames("RAW", "RAW"), 0);
  EXPECT_EQ(EpsgOfErMapperNames("NUTM33", "NAD27"), 0);  // NAD27 has no zone 33
  EXPECT_EQ(EpsgOfErMapperNames("NUTM333", "WGS84"), 0);
  EXPECT_EQ(EpsgOfErMapperNames("LOCAL", "WGS84"), 0);
  EXPECT_EQ(EpsgOfErMapperNames("GEODETIC", "MYDATUM"), 0);
  EXPECT_EQ(EpsgOfErMapperNames("EPSG:", "EPSG:"), 0);
  EXPECT_EQ(EpsgOfErMapperNames("epsg:2154", ""), 2154);
  EXPECT_EQ(EpsgOfErMapperNames("SUTM23", ""), 32723);  // no datum has meant WGS 84
}

TEST(CoordinateSystem, EpsgFactsFromTheDatabase) {
  EXPECT_TRUE(EpsgFacts(4326).Geographic);
  const TEpsgFacts feet = EpsgFacts(26771);
  EXPECT_TRUE(feet.Known && !feet.Geographic && feet.Feet);
  EXPECT_EQ(feet.LinearUnit, 9003);
  EXPECT_EQ(EpsgFacts(2154).LinearUnit, 9001);
  EXPECT_FALSE(EpsgFacts(5773).Known);  // a vertical system
  EXPECT_FALSE(EpsgFacts(99999).Known);
  EXPECT_EQ(DescribeCoordinateSystem({2154, {}}), "EPSG:2154 (RGF93 v1 / Lambert-93)");
}
