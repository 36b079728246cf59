// JPEG and ECW encode their whole image when the output closes; a stop
// requested then ends the encoding instead of waiting for it.
#include <gtest/gtest.h>

#include "PictureTestUtil.h"
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

TEST(EncodingStop, JpegAndEcwStopWhenAskedWhileClosing) {
  TempDir dir;
  TJpgMap2 jpeg;
  ASSERT_TRUE(jpeg.Open(dir / "o.jpg", 64, 64, 1, 3, omCreate));
  TECWMap2 ecw;
  ASSERT_TRUE(ecw.Open(dir / "o.ecw", 64, 64, 1, 3, omCreate));
  {
    TStopRequested stop;
    EXPECT_FALSE(jpeg.Close());
    EXPECT_FALSE(ecw.Close());
  }
  EXPECT_NE(jpeg.ErrorText.find("Encoding stopped"), std::string::npos) << jpeg.ErrorText;
  EXPECT_EQ(ecw.ErrorText.rfind("Compression error: ", 0), 0u) << ecw.ErrorText;
  EXPECT_FALSE(Exists(dir / "o.jpg"));
  EXPECT_FALSE(Exists(dir / "o.ecw"));
}
