#include "app/WindowLogic.h"

#include <algorithm>

#include "text/FileNames.h"

namespace mirava {

const char* const kImageFiles[kImageCount] = {"input.svg",
                                              "output.svg",
                                              "start.svg",
                                              "mirror-horizontal.svg",
                                              "mirror-vertical.svg",
                                              "rotate-180.svg",
                                              "rotate-cw.svg",
                                              "rotate-ccw.svg",
                                              "stop.svg",
                                              "no-change.svg"};

const TMainButton kMainButtons[kMainButtonCount] = {
    {"InputBtn", "Input file", "Change input file", imInput},
    {"OutputBtn", "Output file", "Change output file", imOutput},
    {"StartBtn", "Start", "Start flip/rotate", imStart}};

const TRotateButton kRotateButtons[kRotateButtonCount] = {
    {"ToolButton2", "R->", "No flip, no rotate (format change)", 0, imNone},
    {"ToolButton8", "", "Horizontal flip", 1, imMirrorHorizontal},
    {"ToolButton10", "", "Vertical Flip", 4, imMirrorVertical},
    {"ToolButton12", "", "Rotate 180", 5, imRotate180},
    {"ToolButton14", "", "Rotate 90 CW", 3, imRotate90CW},
    {"ToolButton16", "", "Rotate 90 CCW", 2, imRotate90CCW}};

int RotateButtonForKind(int32_t kind) {
  for (int i = 0; i < kRotateButtonCount; ++i)
    if (kRotateButtons[i].Kind == kind) return i;
  return 0;
}

TStateView ViewOf(TWindowState state) {
  if (state == TWindowState::Running) return {"Stop", imStop, false, true, true};
  return {"Start", imStart, true, false, false};
}

int FixedClientWidth(int mainToolbarWidth, int rotateToolbarWidth) {
  return std::max(mainToolbarWidth, rotateToolbarWidth) + 50;
}

const TFilterEntry kInputFilter[kInputFilterCount] = {
    {"Image files", "*.osd;*.tif;*.bmp;*.jpg;*.ers;*.dtm;*.ecw;*.rsw", ""}, {"All files", "*", ""}};

const TFilterEntry kOutputFilter[kOutputFilterCount] = {{"OSD file", "*.osd", ".osd"},
                                                        {"Tiff file", "*.tif", ".tif"},
                                                        {"BMP file", "*.bmp", ".bmp"},
                                                        {"ER Mapper files", "*.ers", ".ers"},
                                                        {"Jpeg files", "*.jpg;*.jpeg", ".jpg"},
                                                        {"ECW files", "*.ecw", ".ecw"},
                                                        {"Panorama raster files", "*.rsw", ".rsw"}};

std::string OutputNameFromDialog(const std::string& chosen, int filterEntry) {
  if (chosen.empty() || !ExtractFileExt(chosen).empty()) return chosen;
  if (filterEntry < 1 || filterEntry > kOutputFilterCount) filterEntry = 1;
  return chosen + kOutputFilter[filterEntry - 1].Extension;
}

std::string ProposedOutputName(const std::string& inputFileName) {
  return RemoveFileExt(ExtractFileName(inputFileName));
}

std::string OutputNameForInput(const std::string& inputFileName, const std::string& extension) {
  if (inputFileName.empty()) return "";
  const std::string ext = extension.empty() ? kOutputFilter[0].Extension : extension;
  const std::string base = RemoveFileExt(inputFileName);
  const std::string name = base + ext;
  return name == inputFileName ? base + "-out" + ext : name;
}

}  // namespace mirava
