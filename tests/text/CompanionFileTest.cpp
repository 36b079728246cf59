#include "text/CompanionFile.h"

#include <gtest/gtest.h>

#include "../TestUtil.h"

using namespace mirava;
using namespace mirava::test;

TEST(CompanionFile, FindsTheFileWhateverTheCaseOfItsExtension) {
  TempDir dir;
  // Nothing there: the lower-case name, for creating.
  EXPECT_EQ(CompanionFile(dir / "a.veg", ".dat"), dir / "a.dat");
  // The name itself when it carries the extension already.
  EXPECT_EQ(CompanionFile(dir / "a.VEG", ".veg"), dir / "a.VEG");
  WriteText(dir / "b.DAT", "");
  EXPECT_EQ(CompanionFile(dir / "b.veg", ".dat"), dir / "b.DAT");
  WriteText(dir / "c.Dat", "");
  EXPECT_EQ(CompanionFile(dir / "c.VEG", ".dat"), dir / "c.Dat");
  // Only the extension's case is free, not the name's.
  WriteText(dir / "D.dat", "");
  EXPECT_EQ(CompanionFile(dir / "d.veg", ".dat"), dir / "d.dat");
  WriteText(dir / "e.dat", "");
  WriteText(dir / "e.DAT", "");
  EXPECT_EQ(CompanionFile(dir / "e.veg", ".dat"), dir / "e.dat");
}
