#include "georef/ControlPoints.h"

#include <gtest/gtest.h>

#include "TestUtil.h"

using namespace mirava;
using mirava::test::TempDir;

TEST(ControlPoints, NativeFileRoundTrip) {
  TempDir dir;
  TGCPList list;
  TGCPoint p;
  p.SetName("P1");
  p.SetEnabled(true);
  p.SetCellX(10.5);
  p.SetCellY(20);
  p.SetX(1000);
  p.SetY(2000);
  p.SetZ(125.25);
  list.Add(&p);
  TGCPoint unnamed;
  unnamed.SetX(-5.741666667);
  list.Add(&unnamed);
  ASSERT_FALSE(list.SaveToFile(dir / "a.gcp", FilesInPlace()).Failed());
  EXPECT_EQ(
      mirava::test::ReadText(dir / "a.gcp"),
      "P1\tYes\t    10.500\t    20.000\t       1000.00000000\t       2000.00000000\t   125.250\r\n"
      "1\tNo\t     0.000\t     0.000\t         -5.74166667\t          0.00000000\t     0.000\r\n");
  TGCPList back;
  ASSERT_TRUE(back.LoadFromFile(dir / "a.gcp"));
  ASSERT_EQ(back.Count(), 2);
  EXPECT_EQ(back.Items(0)->GetName(), "P1");
  EXPECT_TRUE(back.Items(0)->GetEnabled());
  EXPECT_EQ(back.Items(0)->GetCellX(), 10.5);
  EXPECT_EQ(back.Items(0)->GetZ(), 125.25);
  EXPECT_EQ(back.Items(2), nullptr);
}

TEST(ControlPoints, ValuesLinesAndEmptyLists) {
  TempDir dir;
  mirava::test::WriteText(dir / "v.gcp", ";S=1\r\n;D=2\r\n;P=3\r\n; other\r\n\r\n");
  TGCPList list;
  ASSERT_TRUE(list.LoadFromFile(dir / "v.gcp"));
  EXPECT_EQ(list.Count(), 0);
  EXPECT_TRUE(list.SaveToFile(dir / "out.gcp", FilesInPlace()).Failed());
  EXPECT_FALSE(mirava::test::Exists(dir / "out.gcp"));
  EXPECT_FALSE(list.LoadFromFile(dir / "missing.gcp"));
}

TEST(ControlPoints, LineForms) {
  TGCPoint lone = TGCPoint::CreateFromLine("OnlyName");
  EXPECT_FALSE(lone.GetEnabled());
  EXPECT_EQ(lone.GetY(), 0);
  for (const char* yes : {"yes", "Yes", "YES"})
    EXPECT_TRUE(TGCPoint::CreateFromLine(std::string("a ") + yes).GetEnabled());
  EXPECT_FALSE(TGCPoint::CreateFromLine("a Y").GetEnabled());
  TGCPoint ers = TGCPoint::CreateFromErsLine("\"NW\"\tYes\tYes\t1.5\t2,5\t3\t4\t5");
  EXPECT_EQ(ers.GetName(), "\"NW\"");
  EXPECT_TRUE(ers.GetSecondFlag());
  EXPECT_EQ(ers.GetCellY(), 2.5);
  TGCPList list;
  list.Add(&ers);
  EXPECT_FALSE(list.Items(0)->GetSecondFlag());
  TGCPoint empty;
  EXPECT_EQ(FormatPointLine(empty), "\"\" No 0.000 0.000 0.000 0.000 0.000");
}

TEST(ControlPoints, PointTables) {
  TempDir dir;
  mirava::test::WriteText(dir / "n.txt", "A 100 200 5 7\n;c\nB 1 2 3 4\n");
  TGCPList named;
  ASSERT_TRUE(named.LoadNamedPointsFile(dir / "n.txt"));
  ASSERT_EQ(named.Count(), 2);
  EXPECT_EQ(named.Items(0)->GetX(), 100);
  EXPECT_EQ(named.Items(0)->GetCellX(), 7);
  TGCPList none;
  EXPECT_FALSE(none.LoadNamedPointsFile(dir / "missing"));
  EXPECT_EQ(none.Count(), 1);

  mirava::test::WriteText(dir / "t.txt", "heading\n;c\n10 20 30 1 2\n;c\n11 21 31 3 4\n");
  TGCPList numbered;
  ASSERT_TRUE(numbered.LoadNumberedPointsFile(dir / "t.txt"));
  ASSERT_EQ(numbered.Count(), 2);
  EXPECT_EQ(numbered.Items(1)->GetName(), "1");
  EXPECT_EQ(numbered.Items(0)->GetY(), 10);
  EXPECT_EQ(numbered.Items(0)->GetX(), 20);
  EXPECT_EQ(numbered.Items(1)->GetCellY(), 4);
}

TEST(ControlPoints, SaveFailureIsReported) {
  TGCPList list;
  list.Add(nullptr);
  const TError error = list.SaveToFile("/nonexistent-folder/x.gcp", FilesInPlace());
  EXPECT_EQ(error.Code, TErrorCode::IO);
  EXPECT_EQ(error.Text, "/nonexistent-folder/x.gcp: No such file or directory");
}

// A point line that does not parse is named with its file and line and is
// not taken, instead of becoming a point at (0, 0); good lines around it are.
TEST(ControlPoints, LinesThatDoNotParseAreSkippedAndNamed) {
  TempDir dir;
  const std::string name = dir / "p.gcp";
  mirava::test::WriteText(name,
                          ";S=1\r\n"
                          "A\tYes\t1\t2\t3\t4\t5\r\n"
                          "B\tYes\r\n"
                          "C\tYes\tx\t2\t3\t4\t5\r\n"
                          "D Y 1 2 3 4 5\r\n"
                          "E\tNo\t1,5\t2\t3\t4\r\n"
                          "F\tyes\tnan\t2\t3\t4\t5\r\n"
                          "\r\n"
                          "G\tno\t1,5\t2\t3\t4\t5\textra\r\n"
                          "H\r\n");
  TGCPList list;
  ASSERT_TRUE(list.LoadFromFile(name));
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(0)->GetName(), "A");
  EXPECT_EQ(list.Items(1)->GetName(), "G");
  EXPECT_EQ(list.Items(1)->GetCellX(), 1.5);
  const std::vector<std::string> skipped = {
      name + " line 3: CellX is missing",
      name + " line 4: \"x\" is not a number (CellX)",
      name + " line 5: \"Y\" is not Yes or No",
      name + " line 6: Z is missing",
      name + " line 7: \"nan\" is not a number (CellX)",
      name + " line 10: Yes or No is missing",
  };
  EXPECT_EQ(list.SkippedLines, skipped);
  // A later load starts afresh.
  mirava::test::WriteText(name, "A\tYes\t1\t2\t3\t4\t5\r\n");
  ASSERT_TRUE(list.LoadFromFile(name));
  EXPECT_TRUE(list.SkippedLines.empty());
}
