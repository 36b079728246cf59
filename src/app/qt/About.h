// The about box: product line, build date, contact addresses.
#pragma once

#include <QDialog>

class QLabel;

namespace mirava {

class TAbout : public QDialog {
  Q_OBJECT
 public:
  explicit TAbout(QWidget* parent = nullptr);

 private:
  // Opens a mail or web address with the desktop's handler.
  void OpenAddress(const QString& address);
  QLabel* Failure = nullptr;
};

}  // namespace mirava
