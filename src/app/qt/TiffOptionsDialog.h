// Process > TIFF output options: how TIFF outputs store their pixels, the
// creation options of mirava-cli's -co in controls.
#pragma once

#include <QDialog>

#include "formats/image/tiff/TiffOptions.h"

class QCheckBox;
class QComboBox;
class QSpinBox;

namespace mirava {

class TTiffOptionsDialog : public QDialog {
  Q_OBJECT
 public:
  TTiffOptionsDialog(const TTiffOptions& options, QWidget* parent = nullptr);
  TTiffOptions Options() const;

 private:
  // A predictor needs a compression that takes one, a level a compression
  // that has levels, block sizes need tiles.
  void EnableControls();
  // The chosen compression's levels (JPEG's and WebP's: a quality).
  void SetLevelRange();
  int LevelOffset() const;

  TTiffOptions Given;
  QComboBox* Compression = nullptr;
  QSpinBox* Level = nullptr;
  QComboBox* Predictor = nullptr;
  QCheckBox* Tiled = nullptr;
  QCheckBox* Cog = nullptr;
  QSpinBox* BlockSize = nullptr;
};

}  // namespace mirava
