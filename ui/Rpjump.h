// The jump dialog: type a 1-based line number and make it the first row of the
// current tab's page.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <optional>

// The number conversion of the jump field and the search-log fields: optional
// leading blanks, an optional sign, then decimal digits only, within the
// signed 32-bit range. Anything else (empty text, letters, trailing blanks,
// overflow) yields nothing.
std::optional<int32_t> ParseInt32(const QString& text);

class TJmpDialog : public QWidget {
  Q_OBJECT
 public:
  explicit TJmpDialog(QWidget* parent = nullptr);

  QLabel* Label1;
  QLineEdit* JumpPos;
  QPushButton* Button1;
  QPushButton* Button2;

 public slots:
  void Button2Click();
  void Button1Click();
};
