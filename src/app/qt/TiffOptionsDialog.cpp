#include "app/qt/TiffOptionsDialog.h"

#include <tiffio.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QSpinBox>
#include <QVBoxLayout>

namespace mirava {

TTiffOptionsDialog::TTiffOptionsDialog(const TTiffOptions& options, QWidget* parent)
    : QDialog(parent) {
  setObjectName("TiffOptionsDialog");
  setWindowTitle("TIFF output options");
  Compression = new QComboBox(this);
  Compression->setObjectName("Compression");
  Compression->addItem("None", tcNone);
  Compression->addItem("Deflate", tcDeflate);
  Compression->addItem("LZW", tcLzw);
  if (TIFFIsCODECConfigured(COMPRESSION_ZSTD)) Compression->addItem("ZSTD", tcZstd);
  Compression->setCurrentIndex(std::max(0, Compression->findData(options.Compression)));
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
  connect(Compression, &QComboBox::currentIndexChanged, this, &TTiffOptionsDialog::EnableControls);
  connect(Tiled, &QCheckBox::toggled, this, &TTiffOptionsDialog::EnableControls);
  // A COG's tiles are GDAL's 512 unless set.
  connect(Cog, &QCheckBox::toggled, this, [this](bool on) {
    if (on && !Tiled->isChecked()) BlockSize->setValue(512);
    EnableControls();
  });
  EnableControls();
}

void TTiffOptionsDialog::EnableControls() {
  Predictor->setEnabled(Compression->currentData().toInt() != tcNone);
  Tiled->setEnabled(!Cog->isChecked());
  BlockSize->setEnabled(Tiled->isChecked() || Cog->isChecked());
}

TTiffOptions TTiffOptionsDialog::Options() const {
  TTiffOptions options;
  options.Compression = static_cast<uint16_t>(Compression->currentData().toInt());
  if (options.Compression != tcNone)
    options.Predictor = static_cast<uint16_t>(Predictor->currentData().toInt());
  options.Cog = Cog->isChecked();
  options.Tiled = Tiled->isChecked() || options.Cog;
  if (options.Tiled)
    options.BlockXSize = options.BlockYSize = static_cast<uint32_t>(BlockSize->value());
  return options;
}

}  // namespace mirava
