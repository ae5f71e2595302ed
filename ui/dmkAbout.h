// The About box: product name, version, and what the program is for with
// measured opening times.
#pragma once

#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QTextEdit>

class TAbout : public QDialog {
  Q_OBJECT
 public:
  explicit TAbout(QWidget* parent = nullptr);

  QLabel* Image2;
  QLabel* Label1;
  QLabel* Label2;
  QPushButton* Button1;
  QFrame* Shape1;
  QTextEdit* Memo1;

  // The thirteen lines of Memo1.
  static QStringList MemoLines();

 public slots:
  void Button1Click();
};

// Stand-ins for the About box's fonts that are rarely installed ("MS Sans
// Serif", "Eras Ultra ITC"). Added once; later calls do nothing.
void InstallAboutFontSubstitutions();
