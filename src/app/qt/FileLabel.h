// A label that shows a file name, shortened in the middle to its width, and
// reports clicks.
#pragma once

#include <QLabel>
#include <QString>

namespace mirava {

class TFileLabel : public QLabel {
  Q_OBJECT
 public:
  explicit TFileLabel(QWidget* parent = nullptr);
  // The full name; the label shows "***********" while it is empty.
  void SetFileName(const QString& name);
  const QString& FileName() const { return Name; }

 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void ShowName();
  QString Name;
};

}  // namespace mirava
