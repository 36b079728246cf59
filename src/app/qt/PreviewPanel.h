// The preview under the file panel: the input's thumbnail as the selected
// placement lays it out, with the control points' markers and names, the
// input's own thumbnail as an inset, and lines saying what the input is and
// what the output will be.
#pragma once

#include <QFrame>
#include <QImage>
#include <memory>
#include <string>
#include <vector>

#include "app/Thumbnail.h"
#include "app/ThumbnailLoader.h"
#include "app/qt/ElidedText.h"

namespace mirava {

// Paints the placed thumbnail, fitted and centred, over a neutral colour
// (which shows through cells without data), its markers and the inset.
class TThumbnailView : public QWidget {
  Q_OBJECT
 public:
  explicit TThumbnailView(QWidget* parent = nullptr);
  void Show(QImage placed, QImage input, std::vector<TMarker> markers);
  // Where the placed thumbnail is drawn.
  QRect ImageRect() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage Placed;
  QImage Input;
  std::vector<TMarker> Markers;
};

class TPreviewPanel : public QFrame {
  Q_OBJECT
 public:
  explicit TPreviewPanel(QWidget* parent = nullptr);
  ~TPreviewPanel() override;

  // Reads the thumbnail of a new input on the loader's thread; the same name
  // again is not read again.
  void SetInput(const std::string& fileName);
  // Lays the thumbnail out anew, without reading.
  void SetKind(int32_t kind);
  // Whether the job keeps cells over their ground, for the output's line.
  void SetKeepGround(bool keepGround);
  void SetOutputName(const std::string& fileName);

  // What is shown; Ready once the thumbnail of the last input arrived.
  bool Ready() const { return Arrived == Requested; }
  const TThumbnail& Thumbnail() const { return Current; }
  const QImage& PlacedImage() const { return Placed; }
  const std::vector<TMarker>& Markers() const { return PlacedPoints; }
  // Why the output's format cannot hold the input, in the job's words;
  // empty when it can or while that is not known.
  std::string Refusal() const;
  // How many thumbnails were requested from the loader.
  uint64_t Reads() const { return Requested; }

 signals:
  // The input's facts, the placement or the output name changed.
  void FactsChanged();

 private:
  void Receive(uint64_t ticket, TThumbnail thumbnail);
  void ShowPreview();
  void ShowFacts();

  std::string InputName;
  std::string OutputName;
  int32_t Kind = 0;
  bool KeepGround = false;
  uint64_t Requested = 0;
  uint64_t Arrived = 0;
  TThumbnail Current;
  QImage Placed;
  std::vector<TMarker> PlacedPoints;
  TThumbnailView* Image1 = nullptr;
  TElidedLabel* Label7 = nullptr;
  // Last, so that its thread ends before the rest goes.
  std::unique_ptr<TThumbnailLoader> Loader;
};

}  // namespace mirava
