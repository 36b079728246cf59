// JPEG and ECW encode their whole image when the output closes. A stop
// asked for before then ended the copy of rows: the rows copied are encoded
// whole, for a stopped job's partial output.
#include <gtest/gtest.h>

#include "PictureTestUtil.h"
#include "dataset/DataSet.h"
#include "formats/image/EcwMap.h"
#include "formats/image/JpgMap.h"
#include "job/ConvertThread.h"

using namespace mirava;
using namespace mirava::test;

namespace {

// Restores the flag whatever the test's outcome.
struct TStopRequested {
  TStopRequested() { AbortRequested = true; }
  ~TStopRequested() { AbortRequested = false; }
};

}  // namespace

TEST(EncodingStop, AStopBeforeTheCloseEncodesTheRowsWhole) {
  TempDir dir;
  TJpgMap2 jpeg;
  ASSERT_TRUE(jpeg.Open(dir / "o.jpg", 64, 48, 1, 3, omCreate));
  TECWMap2 ecw;
  ASSERT_TRUE(ecw.Open(dir / "o.ecw", 64, 48, 1, 3, omCreate));
  {
    TStopRequested stop;
    EXPECT_TRUE(jpeg.Close()) << jpeg.ErrorText;
    EXPECT_TRUE(ecw.Close()) << ecw.ErrorText;
  }
  for (const std::string& name : {dir / "o.jpg", dir / "o.ecw"}) {
    TDataSet2 back;
    ASSERT_TRUE(back.Open(name, 0, 0, 1, 1, omRead)) << name << ": " << back.GetErrorText();
    EXPECT_EQ(back.GetColumnCount(), 64) << name;
    EXPECT_EQ(back.GetRowCount(), 48) << name;
  }
}
