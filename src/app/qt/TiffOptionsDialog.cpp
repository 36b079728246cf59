#include "app/qt/TiffOptionsDialog.h"

#include <tiffio.h>

#include <utility>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QSpinBox>
#include <QVBoxLayout>

namespace mirava {

TTiffOptionsDialog::TTiffOptionsDialog(const TTiffOptions& options, QWidget* parent)
    : QDialog(parent), Given(options) {
  setObjectName("TiffOptionsDialog");
  setWindowTitle("TIFF output options");
  Compression = new QComboBox(this);
  Compression->setObjectName("Compression");
  Compression->addItem("None", tcNone);
  for (const auto& [name, codec] : {std::pair{"Deflate", tcDeflate}, {"LZW", tcLzw},
                                    {"ZSTD", tcZstd}, {"LZMA", tcLzma}, {"PackBits", tcPackBits},
                                    {"JPEG (8-bit, lossy)", tcJpeg}, {"WebP (8-bit RGB)", tcWebp}})
    if (TIFFIsCODECConfigured(codec)) Compression->addItem(name, codec);
  Compression->setCurrentIndex(std::max(0, Compression->findData(options.Compression)));
  Level = new QSpinBox(this);
  Level->setObjectName("Level");
  Predictor = new QComboBox(this);
  Predictor->setObjectName("Predictor");
  Predictor->addItem("Suited to the cells", 0);
  Predictor->addItem("None", tpNone);
  Predictor->addItem("Horizontal", tpHorizontal);
  Predictor->addItem("Floating point", tpFloatingPoint);
  Predictor->setCurrentIndex(std::max(0, Predictor->findData(options.Predictor)));
  Tiled = new QCheckBox("Tiles instead of strips", this);
  Tiled->setObjectName("Tiled");
  Tiled->setChecked(options.Tiled);
  BlockSize = new QSpinBox(this);
  BlockSize->setObjectName("BlockSize");
  BlockSize->setRange(16, 4096);
  BlockSize->setSingleStep(16);
  BlockSize->setSuffix(" pixels");
  BlockSize->setValue(options.BlockXSize ? static_cast<int>(options.BlockXSize) : 256);
  Cog = new QCheckBox("Cloud-optimised (COG), with overviews", this);
  Cog->setObjectName("Cog");
  Cog->setChecked(options.Cog);

  auto* form = new QFormLayout;
  form->addRow("Compression", Compression);
  form->addRow("Level or quality", Level);
  form->addRow("Predictor", Predictor);
  form->addRow("", Tiled);
  form->addRow("", Cog);
  form->addRow("Tile size", BlockSize);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
  connect(Compression, &QComboBox::currentIndexChanged, this, [this] {
    SetLevelRange();
    EnableControls();
  });
  connect(Tiled, &QCheckBox::toggled, this, &TTiffOptionsDialog::EnableControls);
  // A COG's tiles are GDAL's 512 unless set.
  connect(Cog, &QCheckBox::toggled, this, [this](bool on) {
    if (on && !Tiled->isChecked()) BlockSize->setValue(512);
    EnableControls();
  });
  SetLevelRange();
  Level->setValue(options.Level > 0 ? LevelOffset() + options.Level : Level->minimum());
  EnableControls();
}

int TTiffOptionsDialog::LevelOffset() const {
  // LZMA's presets start at 0 and are kept one up, so that 0 stays "default".
  return Compression->currentData().toInt() == tcLzma ? -1 : 0;
}

void TTiffOptionsDialog::SetLevelRange() {
  const int c = Compression->currentData().toInt();
  const int high = c == tcDeflate ? 12 : c == tcZstd ? 22 : c == tcLzma ? 9 : 100;
  const int low = c == tcLzma ? 0 : 1;
  // The value below the range is the codec's default.
  Level->setRange(low - 1, high);
  Level->setSpecialValueText("Default");
  Level->setValue(Level->minimum());
}

void TTiffOptionsDialog::EnableControls() {
  const int c = Compression->currentData().toInt();
  Level->setEnabled(c != tcNone && c != tcLzw && c != tcPackBits);
  Predictor->setEnabled(c == tcDeflate || c == tcLzw || c == tcZstd || c == tcLzma);
  Tiled->setEnabled(!Cog->isChecked());
  BlockSize->setEnabled(Tiled->isChecked() || Cog->isChecked());
}

TTiffOptions TTiffOptionsDialog::Options() const {
  // What the dialog has no control for stays as it was given.
  TTiffOptions options = Given;
  const uint16_t compression = static_cast<uint16_t>(Compression->currentData().toInt());
  if (compression != options.Compression) options.WebpLossless = false;
  options.Compression = compression;
  options.Predictor = Predictor->isEnabled() ? static_cast<uint16_t>(Predictor->currentData().toInt()) : 0;
  options.Level = Level->isEnabled() && Level->value() > Level->minimum()
                      ? Level->value() - LevelOffset()
                      : 0;
  options.Cog = Cog->isChecked();
  options.Tiled = Tiled->isChecked() || options.Cog;
  options.BlockXSize = options.BlockYSize =
      options.Tiled ? static_cast<uint32_t>(BlockSize->value()) : 0;
  return options;
}

}  // namespace mirava
