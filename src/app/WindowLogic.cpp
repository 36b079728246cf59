#include "app/WindowLogic.h"

#include <algorithm>
#include <sstream>

#include "dataset/DataSet.h"
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
    {"ToolButton2", "As is", "No flip, no rotate (format change)", 0, imNone},
    {"ToolButton8", "Flip H", "Horizontal flip", 1, imMirrorHorizontal},
    {"ToolButton10", "Flip V", "Vertical Flip", 4, imMirrorVertical},
    {"ToolButton12", "180\xc2\xb0", "Rotate 180", 5, imRotate180},
    {"ToolButton14", "90\xc2\xb0 CW", "Rotate 90 CW", 3, imRotate90CW},
    {"ToolButton16", "90\xc2\xb0 CCW", "Rotate 90 CCW", 2, imRotate90CCW}};

int RotateButtonForKind(int32_t kind) {
  for (int i = 0; i < kRotateButtonCount; ++i)
    if (kRotateButtons[i].Kind == kind) return i;
  return 0;
}

TStateView ViewOf(TWindowState state) {
  if (state == TWindowState::Running)
    return {"Stop", "Stop the job (Esc)", imStop, false, true, true};
  return {"Start", "Start flip/rotate", imStart, true, false, false};
}

int MinimumClientWidth(int mainToolbarWidth, int rotateToolbarWidth) {
  return std::max(mainToolbarWidth, rotateToolbarWidth) + 50;
}

// Every extension of every format with a reader.
const std::vector<TFilterEntry>& InputFilter() {
  static const std::vector<TFilterEntry> filter = [] {
    std::string patterns, extension;
    for (const TFormatEntry& entry : FormatEntries())
      if (entry.Create)
        for (std::istringstream words(entry.Extensions); words >> extension;)
          patterns += (patterns.empty() ? "*" : ";*") + extension;
    return std::vector<TFilterEntry>{{"Raster files", patterns, ""}, {"All files", "*", ""}};
  }();
  return filter;
}

const std::vector<TFilterEntry>& OutputFilter() {
  static const std::vector<TFilterEntry> filter = [] {
    std::vector<const TFormatEntry*> offered;
    for (const TFormatEntry& entry : FormatEntries())
      if (entry.Dialog.SaveEntry > 0) offered.push_back(&entry);
    std::ranges::sort(offered, {}, [](const TFormatEntry* e) { return e->Dialog.SaveEntry; });
    std::vector<TFilterEntry> entries;
    for (const TFormatEntry* entry : offered)
      entries.push_back(
          {entry->Dialog.Description, entry->Dialog.Patterns, FirstExtension(*entry)});
    return entries;
  }();
  return filter;
}

std::string OutputNameFromDialog(const std::string& chosen, int filterEntry) {
  if (chosen.empty() || !ExtractFileExt(chosen).empty()) return chosen;
  const auto& filter = OutputFilter();
  if (filterEntry < 1 || filterEntry > static_cast<int>(filter.size())) filterEntry = 1;
  return chosen + filter[filterEntry - 1].Extension;
}

std::string ProposedOutputName(const std::string& inputFileName) {
  return RemoveFileExt(ExtractFileName(inputFileName));
}

std::string OutputNameForInput(const std::string& inputFileName, const std::string& extension) {
  if (inputFileName.empty()) return "";
  const std::string ext = extension.empty() ? OutputFilter().front().Extension : extension;
  const std::string base = RemoveFileExt(inputFileName);
  const std::string name = base + ext;
  return name == inputFileName ? base + "-out" + ext : name;
}

}  // namespace mirava
