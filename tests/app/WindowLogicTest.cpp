#include "app/WindowLogic.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "dataset/DataSet.h"

using namespace mirava;

TEST(WindowLogic, OutputNameFromSaveDialog) {
  // A name typed without extension takes the selected entry's.
  EXPECT_EQ(OutputNameFromDialog("/maps/map", 4), "/maps/map.ers");
  const char* expected[] = {".osd", ".tif", ".bmp", ".ers", ".jpg", ".ecw", ".rsw"};
  for (int entry = 1; entry <= 7; ++entry)
    EXPECT_EQ(OutputNameFromDialog("/maps/map", entry),
              std::string("/maps/map") + expected[entry - 1]);
  // One with an extension stays as typed, whatever the entry.
  for (int entry = 1; entry <= 7; ++entry)
    EXPECT_EQ(OutputNameFromDialog("/maps/map.ecw", entry), "/maps/map.ecw");
  EXPECT_EQ(OutputNameFromDialog("/maps/map.dtm", 1), "/maps/map.dtm");
  // A dot in a folder is no extension.
  EXPECT_EQ(OutputNameFromDialog("/maps.v2/map", 2), "/maps.v2/map.tif");
  EXPECT_EQ(OutputNameFromDialog("/maps/map", 0), "/maps/map.osd");
  EXPECT_EQ(OutputNameFromDialog("/maps/k\xc3\xa4rte", 3), "/maps/k\xc3\xa4rte.bmp");
}

TEST(WindowLogic, ProposedOutputName) {
  EXPECT_EQ(ProposedOutputName("/data.d/luxembourg.ers"), "luxembourg");
  EXPECT_EQ(ProposedOutputName("/data.d/noext"), "noext");
  EXPECT_EQ(ProposedOutputName(""), "");
}

TEST(WindowLogic, OutputNameForInput) {
  EXPECT_EQ(OutputNameForInput("/maps/scan.tif", ".ers"), "/maps/scan.ers");
  EXPECT_EQ(OutputNameForInput("/maps.d/scan", ".bmp"), "/maps.d/scan.bmp");
  EXPECT_EQ(OutputNameForInput("/maps/scan.tif", ""), "/maps/scan.osd");
  // Never the input itself.
  EXPECT_EQ(OutputNameForInput("/maps/scan.tif", ".tif"), "/maps/scan-out.tif");
  EXPECT_EQ(OutputNameForInput("", ".tif"), "");
}

TEST(WindowLogic, RotateButtonsSelectEachKindOnce) {
  const std::pair<std::string, int> expected[] = {{"ToolButton2", 0},  {"ToolButton8", 1},
                                                  {"ToolButton10", 4}, {"ToolButton12", 5},
                                                  {"ToolButton14", 3}, {"ToolButton16", 2}};
  std::set<int> kinds;
  for (int i = 0; i < kRotateButtonCount; ++i) {
    EXPECT_EQ(kRotateButtons[i].Name, expected[i].first);
    EXPECT_EQ(kRotateButtons[i].Kind, expected[i].second);
    EXPECT_EQ(RotateButtonForKind(kRotateButtons[i].Kind), i);
    kinds.insert(kRotateButtons[i].Kind);
  }
  EXPECT_EQ(kinds.size(), 6u);
  EXPECT_EQ(RotateButtonForKind(9), 0);
  EXPECT_EQ(RotateButtonForKind(-1), 0);
}

TEST(WindowLogic, States) {
  const TStateView idle = ViewOf(TWindowState::Idle);
  EXPECT_STREQ(idle.StartCaption, "Start");
  EXPECT_EQ(idle.StartImage, imStart);
  EXPECT_TRUE(idle.ControlsEnabled);
  EXPECT_FALSE(idle.ProgressVisible);
  EXPECT_FALSE(idle.JobHeight);
  const TStateView running = ViewOf(TWindowState::Running);
  EXPECT_STREQ(running.StartCaption, "Stop");
  EXPECT_EQ(running.StartImage, imStop);
  EXPECT_FALSE(running.ControlsEnabled);
  EXPECT_TRUE(running.ProgressVisible);
  EXPECT_TRUE(running.JobHeight);
  EXPECT_EQ(MinimumClientWidth(165, 280), 330);
  EXPECT_EQ(MinimumClientWidth(300, 280), 350);
}

TEST(WindowLogic, DialogFiltersComeFromTheFormatTable) {
  const auto& input = InputFilter();
  ASSERT_EQ(input.size(), 2u);
  EXPECT_EQ(input[0].Description, "Raster files");
  EXPECT_EQ(input[0].Patterns,
            "*.ers;*.osd;*.tif;*.tiff;*.bmp;*.dtm;*.001;*.jpg;*.jpeg;*.veg;*.ecw;*.rsw;*.hgt;"
            "*.jp2;*.j2k");
  EXPECT_EQ(input[1].Patterns, "*");

  const auto& output = OutputFilter();
  const std::vector<std::string> descriptions = {
      "OSD file",   "Tiff file", "BMP file", "ER Mapper files",
      "Jpeg files", "ECW files", "Panorama raster files", "JPEG 2000 files"};
  ASSERT_EQ(output.size(), descriptions.size());
  for (size_t i = 0; i < output.size(); ++i) {
    EXPECT_EQ(output[i].Description, descriptions[i]);
    // The extension a typed name gets is one the entry lists and one that
    // names an output format.
    const int code = FormatFromExtension("map" + output[i].Extension);
    EXPECT_GT(code, fcUnknown) << output[i].Extension;
    EXPECT_NE(output[i].Patterns.find("*" + output[i].Extension), std::string::npos);
  }
  EXPECT_EQ(output[4].Patterns, "*.jpg;*.jpeg");
}
