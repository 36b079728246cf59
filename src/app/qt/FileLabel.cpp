#include "app/qt/FileLabel.h"

#include <QMouseEvent>

namespace mirava {

TFileLabel::TFileLabel(QWidget* parent) : QLabel(parent) {
  // Long paths must not widen the window, whose width is fixed.
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  setCursor(Qt::PointingHandCursor);
  setTextFormat(Qt::PlainText);
  setText("***********");
}

void TFileLabel::SetFileName(const QString& name) {
  Name = name;
  setToolTip(name);
  ShowName();
}

void TFileLabel::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
    emit clicked();
}

void TFileLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  ShowName();
}

void TFileLabel::ShowName() {
  if (Name.isEmpty()) {
    setText("***********");
    return;
  }
  setText(fontMetrics().elidedText(Name, Qt::ElideMiddle, contentsRect().width()));
}

}  // namespace mirava
