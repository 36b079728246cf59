// The main window's rules that need no toolkit: its buttons and what they
// select, its two states, the file dialogs' filters and the output name
// the save dialog yields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirava {

// Positions in the window's image list.
enum TImageIndex {
  imInput = 0,
  imOutput = 1,
  imStart = 2,
  imMirrorHorizontal = 3,
  imMirrorVertical = 4,
  imRotate180 = 5,
  imRotate90CW = 6,
  imRotate90CCW = 7,
  imStop = 8,
  imNone = 9,
  kImageCount = 10
};

// Resource file of each image, by image index.
extern const char* const kImageFiles[kImageCount];

struct TMainButton {
  const char* Name;
  const char* Caption;
  const char* Hint;
  int Image;
};

// InputBtn, OutputBtn, StartBtn.
constexpr int kMainButtonCount = 3;
extern const TMainButton kMainButtons[kMainButtonCount];

struct TRotateButton {
  const char* Name;
  const char* Caption;
  const char* Hint;
  int32_t Kind;
  int Image;
};

// The rotate toolbar from left to right; exactly one is checked.
constexpr int kRotateButtonCount = 6;
extern const TRotateButton kRotateButtons[kRotateButtonCount];

// Index of the rotate button that selects `kind`; the first ("As is", kind 0)
// for 0 and for numbers that are no kind.
int RotateButtonForKind(int32_t kind);

enum class TWindowState { Idle, Running };

struct TStateView {
  const char* StartCaption;  // "Start" starts a job, "Stop" asks it to stop
  const char* StartHint;
  int StartImage;
  bool ControlsEnabled;  // the controls that EnableControls switches
  bool ProgressVisible;
  bool JobHeight;  // the window is JobHeight high, else NormalHeight
};

TStateView ViewOf(TWindowState state);

// The narrowest client width: either toolbar fits with room to spare.
int MinimumClientWidth(int mainToolbarWidth, int rotateToolbarWidth);

struct TFilterEntry {
  std::string Description;
  std::string Patterns;   // separated by ";"
  std::string Extension;  // given to a name typed without one
};

// The file dialogs' filter entries, from the format table: the open
// dialog's raster files (every extension of every format read) and all
// files; the save dialog's one entry for each format it offers.
const std::vector<TFilterEntry>& InputFilter();
const std::vector<TFilterEntry>& OutputFilter();

// The output name from the save dialog: a name with an extension is kept
// unchanged; one without gets the extension of the selected filter entry
// (1 ".osd" ... 7 ".rsw"; the first for an entry out of range).
std::string OutputNameFromDialog(const std::string& chosen, int filterEntry);

// The name the save dialog proposes: the input's name part without its
// extension.
std::string ProposedOutputName(const std::string& inputFileName);

// The output name proposed when the input is set and the output name is
// empty: the input's folder and base name with `extension` (".osd", the save
// dialog's first type, when empty), and "-out" after the base name when that
// would be the input itself.
std::string OutputNameForInput(const std::string& inputFileName, const std::string& extension);

}  // namespace mirava
