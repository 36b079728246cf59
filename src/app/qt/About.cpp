#include "app/qt/About.h"

#include <QDate>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/Version.h"

namespace mirava {

namespace {

QLabel* Link(const QString& text, const QString& address, QWidget* parent) {
  auto* label = new QLabel(QString("<a href=\"%1\">%2</a>").arg(address, text), parent);
  label->setTextFormat(Qt::RichText);
  label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  return label;
}

}  // namespace

TAbout::TAbout(QWidget* parent) : QDialog(parent) {
  setObjectName("About");
  const QDate built(kBuildYear, kBuildMonth, kBuildDay);
  setWindowTitle("Built " + QLocale().toString(built, QLocale::ShortFormat));

  auto* picture = new QLabel(this);
  picture->setObjectName("ProgramIcon");
  picture->setPixmap(QIcon(":/images/mirava.svg").pixmap(48, 48));
  picture->setAlignment(Qt::AlignTop);

  auto* product = new QLabel(kProductLine, this);
  product->setObjectName("ProductName");
  QFont font = product->font();
  font.setBold(true);
  font.setPointSizeF(font.pointSizeF() * 1.2);
  product->setFont(font);

  auto* mail = Link(kSupportMail, QString("mailto:") + kSupportMail, this);
  mail->setObjectName("MailLabel");
  connect(mail, &QLabel::linkActivated, this, &TAbout::OpenAddress);

  Failure = new QLabel("Auto method failed.", this);
  Failure->setObjectName("FailureLabel");
  Failure->hide();

  auto* close = new QPushButton("Close", this);
  close->setObjectName("OKButton");
  close->setDefault(true);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);

  auto* text = new QVBoxLayout;
  text->addWidget(product);
  text->addSpacing(8);
  text->addWidget(new QLabel("Support:", this));
  text->addWidget(mail);
  // A home page is named only once there is one.
  if (*kHomePage) {
    auto* web = Link(kHomePage, kHomePage, this);
    web->setObjectName("WebLabel");
    connect(web, &QLabel::linkActivated, this, &TAbout::OpenAddress);
    text->addWidget(new QLabel("Home page:", this));
    text->addWidget(web);
  }
  text->addWidget(Failure);
  auto* top = new QHBoxLayout;
  top->addWidget(picture);
  top->addSpacing(12);
  top->addLayout(text, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 16, 16, 12);
  layout->addLayout(top);
  layout->addSpacing(12);
  layout->addLayout(buttons);
  setFixedSize(sizeHint());
}

void TAbout::OpenAddress(const QString& address) {
  Failure->setVisible(!QDesktopServices::openUrl(QUrl(address)));
}

}  // namespace mirava
