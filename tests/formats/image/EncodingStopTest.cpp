// JPEG and ECW encode their whole image when the output closes, and a JPEG
// input may be placed whole into a JPEG output. Each heeds the stop it was
// given; one without a stop (the job takes it away when a stop ended the
// copy of rows) encodes the rows whole, for a stopped job's partial output.
#include <gtest/gtest.h>

#include "PictureTestUtil.h"
#include "dataset/DataSet.h"
#include "formats/codec/JpegCodec.h"
#include "formats/image/EcwMap.h"
#include "formats/image/JpgMap.h"

using namespace mirava;
using namespace mirava::test;

TEST(EncodingStop, AStopBeforeTheCloseEncodesTheRowsWhole) {
  TempDir dir;
  TJpgMap2 jpeg;
  ASSERT_TRUE(jpeg.Open(dir / "o.jpg", 64, 48, 1, 3, omCreate));
  TECWMap2 ecw;
  ASSERT_TRUE(ecw.Open(dir / "o.ecw", 64, 48, 1, 3, omCreate));
  EXPECT_TRUE(jpeg.Close()) << jpeg.Error().Text;
  EXPECT_TRUE(ecw.Close()) << ecw.Error().Text;
  for (const std::string& name : {dir / "o.jpg", dir / "o.ecw"}) {
    TDataSet2 back;
    ASSERT_TRUE(back.Open(name, 0, 0, 1, 1, omRead)) << name << ": " << back.Error().Text;
    EXPECT_EQ(back.GetColumnCount(), 64) << name;
    EXPECT_EQ(back.GetRowCount(), 48) << name;
  }
}

TEST(EncodingStop, TheStopGivenEndsTheEncodingAndThePlacement) {
  TempDir dir;
  const std::atomic<bool> stop{true};
  TJpgMap2 jpeg;
  ASSERT_TRUE(jpeg.Open(dir / "o.jpg", 64, 48, 1, 3, omCreate));
  jpeg.SetStop(&stop);
  EXPECT_FALSE(jpeg.Close());
  EXPECT_NE(jpeg.Error().Text.find("Encoding stopped"), std::string::npos) << jpeg.Error().Text;
  TECWMap2 ecw;
  ASSERT_TRUE(ecw.Open(dir / "o.ecw", 64, 48, 1, 3, omCreate));
  ecw.SetStop(&stop);
  EXPECT_FALSE(ecw.Close());
  EXPECT_FALSE(Exists(dir / "o.jpg"));
  EXPECT_FALSE(Exists(dir / "o.ecw"));

  // A placement stopped leaves no file.
  TJpgMap2 source;
  ASSERT_TRUE(source.Open(dir / "in.jpg", 64, 48, 1, 3, omCreate));
  ASSERT_TRUE(source.Close()) << source.Error().Text;
  std::string message;
  EXPECT_EQ(jpeg::PlaceFile(dir / "in.jpg", dir / "o.jpg", FilesInPlace(), TPlacement::Rotate90CW,
                            message, &stop),
            jpeg::jeStopped);
  EXPECT_EQ(message, "Encoding stopped");
  EXPECT_FALSE(Exists(dir / "o.jpg"));
}
