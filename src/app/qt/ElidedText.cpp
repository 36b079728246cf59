#include "app/qt/ElidedText.h"

#include <QPainter>
#include <QSizeGrip>
#include <QStyleOption>

namespace mirava {

TElidedLabel::TElidedLabel(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void TElidedLabel::SetFullText(const QString& text) {
  Full = text;
  setToolTip(text);
  ShowText();
}

void TElidedLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  ShowText();
}

void TElidedLabel::ShowText() {
  QStringList lines = Full.split('\n');
  for (QString& line : lines)
    line = fontMetrics().elidedText(line, Qt::ElideRight, contentsRect().width());
  setText(lines.join('\n'));
}

TStatusBar::TStatusBar(QWidget* parent) : QStatusBar(parent) {
  connect(this, &QStatusBar::messageChanged, this, &QWidget::setToolTip);
}

// Where QStatusBar paints its message: from 6 pixels in to the size grip.
QRect TStatusBar::MessageRect() const {
  int right = width() - 12;
  if (const auto* grip = findChild<QSizeGrip*>(); grip && grip->isVisible()) right = grip->x();
  return QRect(6, 0, std::max(0, right - 6), height());
}

QString TStatusBar::ShownMessage() const {
  return fontMetrics().elidedText(currentMessage(), Qt::ElideRight, MessageRect().width());
}

void TStatusBar::paintEvent(QPaintEvent* event) {
  if (currentMessage().isEmpty()) {
    QStatusBar::paintEvent(event);
    return;
  }
  QPainter painter(this);
  QStyleOption option;
  option.initFrom(this);
  style()->drawPrimitive(QStyle::PE_PanelStatusBar, &option, &painter, this);
  painter.setPen(palette().windowText().color());
  painter.drawText(MessageRect(), Qt::AlignLeading | Qt::AlignVCenter | Qt::TextSingleLine,
                   ShownMessage());
}

}  // namespace mirava
