// Text shortened at its end to the width it is given, the whole of it in
// the tooltip: the window can be as narrow as its toolbars, and no text may
// widen it or be cut without a sign.
#pragma once

#include <QLabel>
#include <QStatusBar>
#include <QString>

namespace mirava {

// Lines separated by '\n', each shortened on its own.
class TElidedLabel : public QLabel {
  Q_OBJECT
 public:
  explicit TElidedLabel(QWidget* parent = nullptr);
  void SetFullText(const QString& text);
  const QString& FullText() const { return Full; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void ShowText();
  QString Full;
};

// A status bar whose message is shortened rather than cut.
class TStatusBar : public QStatusBar {
  Q_OBJECT
 public:
  explicit TStatusBar(QWidget* parent = nullptr);
  // The message as it is painted.
  QString ShownMessage() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QRect MessageRect() const;
};

}  // namespace mirava
