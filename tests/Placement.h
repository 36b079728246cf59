// Where the six placements put cells and points, written from their
// definitions rather than from the code under test: the one oracle of every
// placement test.
#pragma once

#include <string>
#include <utility>

namespace mirava::test {

// A placement's name for a test case ("Kind3_Clockwise").
inline std::string KindName(int kind) {
  static const char* const names[] = {"Kind0_None",      "Kind1_FlipHorizontal",
                                      "Kind2_Counterclockwise", "Kind3_Clockwise",
                                      "Kind4_FlipVertical",     "Kind5_HalfTurn"};
  return kind >= 0 && kind <= 5 ? names[kind] : "Kind" + std::to_string(kind);
}

// The input pixel (column, row) that output cell (column j, row i) comes
// from, for an input of W x H.
inline std::pair<int, int> SourcePixel(int kind, int W, int H, int j, int i) {
  switch (kind) {
    case 1:
      return {W - 1 - j, i};
    case 2:
      return {W - 1 - i, j};
    case 3:
      return {i, H - 1 - j};
    case 4:
      return {j, H - 1 - i};
    case 5:
      return {W - 1 - j, H - 1 - i};
    default:
      return {j, i};
  }
}

// Where a point at (c, r), measured from the outer corner of cell (0, 0) of
// a W x H input, lands.
inline std::pair<double, double> MovedPoint(int kind, double W, double H, double c, double r) {
  switch (kind) {
    case 1:
      return {W - c, r};
    case 2:
      return {r, W - c};
    case 3:
      return {H - r, c};
    case 4:
      return {c, H - r};
    case 5:
      return {W - c, H - r};
    default:
      return {c, r};
  }
}

}  // namespace mirava::test
