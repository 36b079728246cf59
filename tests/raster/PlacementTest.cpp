#include "raster/Placement.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace mirava;

namespace {

TPhotoLayer Layer(int kind, int width, int height) {
  return TPhotoLayer(*PlacementOfKind(kind), width, height);
}

// The input pixel the worker reads for output cell (row i, column j).
std::pair<int, int> Source(const TPhotoLayer& l, int i, int j) {
  return {static_cast<int>(std::nearbyint(l.InputColumn(j, -i))),
          static_cast<int>(std::nearbyint(l.InputRow(j, -i)))};
}

}  // namespace

// The pixel table of the six kinds on a non-square 5 x 3 input, every cell.
TEST(PhotoLayer, EveryKindReadsThePixelOfTheTable) {
  const int W = 5, H = 3;
  for (int kind : {0, 1, 2, 3, 4, 5}) {
    TPhotoLayer l = Layer(kind, W, H);
    int rows, columns;
    l.OutputSize(rows, columns);
    const bool swap = kind == 2 || kind == 3;
    EXPECT_EQ(rows, swap ? W : H) << kind;
    EXPECT_EQ(columns, swap ? H : W) << kind;
    for (int i = 0; i < rows; ++i)
      for (int j = 0; j < columns; ++j) {
        std::pair<int, int> expected;
        switch (kind) {
          case 1:
            expected = {W - 1 - j, i};
            break;
          case 2:
            expected = {W - 1 - i, j};
            break;
          case 3:
            expected = {i, H - 1 - j};
            break;
          case 4:
            expected = {j, H - 1 - i};
            break;
          case 5:
            expected = {W - 1 - j, H - 1 - i};
            break;
          default:
            expected = {j, i};
            break;
        }
        EXPECT_EQ(Source(l, i, j), expected) << "kind " << kind << " at " << i << "," << j;
      }
  }
}

TEST(PhotoLayer, RotationsOfAThreeByTwoInput) {
  TPhotoLayer ccw(TPlacement::Rotate90CCW, 3, 2);
  EXPECT_EQ(Source(ccw, 0, 0), std::make_pair(2, 0));
  EXPECT_EQ(Source(ccw, 2, 0), std::make_pair(0, 0));
  TPhotoLayer cw(TPlacement::Rotate90CW, 3, 2);
  EXPECT_EQ(Source(cw, 0, 0), std::make_pair(0, 1));
}

TEST(PhotoLayer, ForwardAndInverseAreInverses) {
  for (int kind = 0; kind <= 5; ++kind) {
    TPhotoLayer l = Layer(kind, 7, 4);
    for (double c : {0.0, 2.5, 6.0})
      for (double r : {0.0, 1.25, 3.0}) {
        double x = l.OutputX(c, r), y = l.OutputY(c, r);
        EXPECT_DOUBLE_EQ(l.InputColumn(x, y), c) << kind;
        EXPECT_DOUBLE_EQ(l.InputRow(x, y), r) << kind;
      }
  }
}

TEST(PhotoLayer, ForwardPairOfAPixelCentre) {
  struct Case {
    int kind;
    double column, row;
  } cases[] = {{1, 8.5, 0.25}, {4, 0.5, 2.75}, {2, 0.25, 8.5}, {3, 2.75, 0.5}};
  for (const Case& c : cases) {
    TPhotoLayer l = Layer(c.kind, 10, 4);
    EXPECT_DOUBLE_EQ(l.OutputX(0.5, 0.25), c.column) << c.kind;
    EXPECT_DOUBLE_EQ(-l.OutputY(0.5, 0.25), c.row) << c.kind;
  }
}

// Control points are measured from the outer corner of the first cell, so
// they turn about the image's edges and stay on the same spot.
TEST(PhotoLayer, ControlPointsMoveAboutTheImageEdges) {
  struct Case {
    int kind;
    double column, row;
  } cases[] = {{0, 0.5, 0.25}, {1, 9.5, 0.25}, {4, 0.5, 3.75},
               {5, 9.5, 3.75}, {3, 3.75, 0.5}, {2, 0.25, 9.5}};
  for (const Case& c : cases) {
    TPhotoLayer l = Layer(c.kind, 10, 4);
    double column = 0.5, row = 0.25;
    MoveControlPoint(l, column, row);
    EXPECT_DOUBLE_EQ(column, c.column) << c.kind;
    EXPECT_DOUBLE_EQ(row, c.row) << c.kind;
  }
  // The corners of the image map onto corners of the output.
  TPhotoLayer cw(TPlacement::Rotate90CW, 10, 4);
  double column = 10, row = 0;  // top-right corner
  MoveControlPoint(cw, column, row);
  EXPECT_DOUBLE_EQ(column, 4);
  EXPECT_DOUBLE_EQ(row, 10);
}

TEST(PhotoLayer, OneByOneIsUnchangedByEveryKind) {
  for (int kind = 0; kind <= 5; ++kind)
    EXPECT_EQ(Source(Layer(kind, 1, 1), 0, 0), std::make_pair(0, 0));
}

// The kind numbers users type, and no others.
TEST(Placement, KindNumbers) {
  for (int kind = 0; kind <= 5; ++kind) EXPECT_EQ(KindOf(*PlacementOfKind(kind)), kind);
  EXPECT_FALSE(PlacementOfKind(-1));
  EXPECT_FALSE(PlacementOfKind(6));
}

// What the copy paths ask of a placement agrees with the pixels it reads:
// the output's first row and column meet the input's last column or row
// exactly when they are said to be reversed.
TEST(Placement, QuestionsAgreeWithThePixels) {
  const int W = 5, H = 3;
  for (int kind = 0; kind <= 5; ++kind) {
    const TPhotoLayer l = Layer(kind, W, H);
    int rows, columns;
    l.OutputSize(rows, columns);
    // Along the output's first row and down its first column.
    const auto [c0, r0] = Source(l, 0, 0);
    const auto [c1, r1] = Source(l, 0, 1);
    const auto [c2, r2] = Source(l, 1, 0);
    EXPECT_EQ(l.Turns(), c1 == c0) << kind;  // a turn walks an input column along a row
    const int columnStep = l.Turns() ? c2 - c0 : c1 - c0;
    const int rowStep = l.Turns() ? r1 - r0 : r2 - r0;
    EXPECT_EQ(l.ReversesColumns(), columnStep < 0) << kind;
    EXPECT_EQ(l.ReversesRows(), rowStep < 0) << kind;
    EXPECT_EQ(l.CounterClockwise(), l.Turns() && columnStep < 0) << kind;
  }
}
