#include "app/qt/PreviewPanel.h"

#include <QFile>
#include <QPainter>
#include <QVBoxLayout>
#include <cmath>

namespace mirava {

namespace {

constexpr int kViewHeight = 200;
constexpr int kInsetSide = 64;
constexpr int kMarkerRadius = 4;
constexpr int kInfoLines = 7;

QImage ToQImage(const TImage& image) {
  if (image.Pixels.empty()) return {};
  return QImage(reinterpret_cast<const uchar*>(image.Pixels.data()), image.Width, image.Height,
                image.Width * 4, QImage::Format_ARGB32)
      .copy();
}

QString FromBytes(const std::string& text) {
  return QFile::decodeName(QByteArray::fromStdString(text));
}

// `size` scaled to fit `area`, centred in it.
QRect Fitted(QSize size, const QRect& area) {
  if (size.isEmpty()) return {};
  size.scale(area.size(), Qt::KeepAspectRatio);
  return QRect(area.center() - QPoint(size.width() / 2, size.height() / 2), size);
}

}  // namespace

TThumbnailView::TThumbnailView(QWidget* parent) : QWidget(parent) {
  // It grows with the window, and never widens it.
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Expanding);
  setMinimumHeight(kViewHeight);
}

void TThumbnailView::Show(QImage placed, QImage input, std::vector<TMarker> markers) {
  Placed = std::move(placed);
  Input = std::move(input);
  Markers = std::move(markers);
  update();
}

QRect TThumbnailView::ImageRect() const { return Fitted(Placed.size(), rect()); }

void TThumbnailView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect area = ImageRect();
  if (area.isEmpty()) return;
  painter.fillRect(area, QColor(190, 190, 190));
  painter.drawImage(area, Placed);

  painter.setRenderHint(QPainter::Antialiasing);
  const double scale = static_cast<double>(area.width()) / Placed.width();
  for (const TMarker& marker : Markers) {
    const QPointF at(area.left() + marker.X * scale, area.top() + marker.Y * scale);
    painter.setPen(QPen(Qt::white, 3));
    painter.drawEllipse(at, kMarkerRadius, kMarkerRadius);
    painter.setPen(QPen(Qt::red, 1.5));
    painter.drawEllipse(at, kMarkerRadius, kMarkerRadius);
    // The name beside the marker, on whichever side keeps it in view.
    const QString name = FromBytes(marker.Name);
    const QFontMetrics metrics = painter.fontMetrics();
    QRectF box(0, 0, metrics.horizontalAdvance(name) + 2, metrics.height());
    box.moveBottomLeft(at + QPointF(kMarkerRadius + 2, -kMarkerRadius));
    if (box.right() > width()) box.moveRight(at.x() - kMarkerRadius - 2);
    if (box.top() < 0) box.moveTop(at.y() + kMarkerRadius);
    painter.setPen(Qt::white);
    painter.drawText(box.translated(1, 1), Qt::AlignLeft | Qt::AlignVCenter, name);
    painter.setPen(Qt::black);
    painter.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, name);
  }

  // The input as it is, so that the change is seen at a glance.
  const QRect box = Fitted(Input.size(), QRect(4, 4, kInsetSide, kInsetSide));
  if (box.isEmpty()) return;
  painter.fillRect(box.adjusted(-2, -2, 2, 2), Qt::white);
  painter.fillRect(box, QColor(190, 190, 190));
  painter.drawImage(box, Input);
  painter.setPen(QPen(Qt::darkGray, 1));
  painter.drawRect(box.adjusted(-2, -2, 1, 1));
}

TPreviewPanel::TPreviewPanel(QWidget* parent) : QFrame(parent) {
  setFrameShape(QFrame::StyledPanel);
  setFrameShadow(QFrame::Sunken);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(4);
  Image1 = new TThumbnailView(this);
  Image1->setObjectName("Image1");
  Label7 = new TElidedLabel(this);
  Label7->setObjectName("Label7");
  Label7->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label7->setFixedHeight(Label7->fontMetrics().lineSpacing() * kInfoLines + 2);
  layout->addWidget(Image1);
  layout->addWidget(Label7);

  // The loader's thread only posts; the panel takes the thumbnail on its own.
  Loader = std::make_unique<TThumbnailLoader>([this](uint64_t ticket, TThumbnail thumbnail) {
    auto shared = std::make_shared<TThumbnail>(std::move(thumbnail));
    QMetaObject::invokeMethod(
        this, [this, ticket, shared] { Receive(ticket, std::move(*shared)); },
        Qt::QueuedConnection);
  });
  ShowFacts();
}

TPreviewPanel::~TPreviewPanel() { Loader.reset(); }

void TPreviewPanel::SetInput(const std::string& fileName) {
  if (fileName == InputName && Requested > 0) return;
  InputName = fileName;
  Current = {};
  if (fileName.empty()) {
    Arrived = Requested;
  } else {
    Requested = Loader->Load(fileName);
  }
  ShowPreview();
  ShowFacts();
  emit FactsChanged();
}

void TPreviewPanel::SetKind(int32_t kind) {
  if (kind == Kind) return;
  Kind = kind;
  ShowPreview();
  ShowFacts();
  emit FactsChanged();
}

void TPreviewPanel::SetKeepGround(bool keepGround) {
  KeepGround = keepGround;
  ShowFacts();
}

void TPreviewPanel::SetOutputName(const std::string& fileName) {
  OutputName = fileName;
  ShowFacts();
  emit FactsChanged();
}

void TPreviewPanel::Receive(uint64_t ticket, TThumbnail thumbnail) {
  // A thumbnail of an input since replaced.
  if (ticket != Requested) return;
  Arrived = ticket;
  Current = std::move(thumbnail);
  ShowPreview();
  ShowFacts();
  emit FactsChanged();
}

std::string TPreviewPanel::Refusal() const {
  if (!Ready() || InputName.empty() || !Current.ErrorText.empty() || OutputName.empty()) return "";
  return OutputRefusal(Current.Facts, OutputName).Text;
}

void TPreviewPanel::ShowPreview() {
  const TImage& image = Current.Image;
  Placed = ToQImage(PlaceImage(image, Kind));
  PlacedPoints = image.Pixels.empty()
                     ? std::vector<TMarker>{}
                     : PlacedMarkers(Current.Facts, Kind, Placed.width(), Placed.height());
  Image1->Show(Placed, ToQImage(image), PlacedPoints);
}

void TPreviewPanel::ShowFacts() {
  QStringList lines;
  if (InputName.empty()) {
    lines << "No input file";
  } else if (!Ready()) {
    lines << "Reading the input...";
  } else if (!Current.ErrorText.empty()) {
    lines << FromBytes(Current.ErrorText);
  } else {
    for (const std::string& line : DescribeInput(Current.Facts)) lines << FromBytes(line);
    lines << FromBytes(DescribeOutput(Current.Facts, Kind, OutputName, KeepGround));
  }
  Label7->SetFullText(lines.join('\n'));
}

}  // namespace mirava
