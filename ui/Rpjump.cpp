#include "ui/Rpjump.h"

#include <algorithm>
#include <limits>

#include "commands/Rpcmd1.h"
#include "commands/jumps.h"
#include "store/slots.h"
#include "ui/designfont.h"
#include "view/view.h"

std::optional<int32_t> ParseInt32(const QString& text) {
  qsizetype i = 0;
  while (i < text.size() && text[i] == QLatin1Char(' ')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
    negative = text[i] == QLatin1Char('-');
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  // Accumulate as a negative number so that INT32_MIN fits.
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
    value = value * 10 - (c.unicode() - '0');
    if (value < std::numeric_limits<int32_t>::min()) return std::nullopt;
  }
  if (!negative) {
    value = -value;
    if (value > std::numeric_limits<int32_t>::max()) return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

TJmpDialog::TJmpDialog(QWidget* parent) : QWidget(parent, Qt::Dialog) {
  // A dialog-type window owned by the main window: modeless, and kept above
  // its owner (not above every other program) by the window manager.
  setWindowTitle(QStringLiteral("指定行へ移動"));
  setFont(PGothic(12));
  setFixedSize(265, 84);  // client area of a 273 x 111 window
  move(0, 0);

  Label1 = new QLabel(QStringLiteral("指定行"), this);
  Label1->setGeometry(8, 16, 45, 15);
  Label1->setFont(PGothic(15));
  JumpPos = new QLineEdit(QStringLiteral("0"), this);
  JumpPos->setGeometry(64, 12, 81, 23);
  JumpPos->setFont(PGothic(15));
  Button1 = new QPushButton(QStringLiteral("移動"), this);
  Button1->setGeometry(152, 12, 97, 25);
  Button1->setToolTip(QStringLiteral("指定行に移動します"));
  Button2 = new QPushButton(QStringLiteral("閉じる"), this);
  Button2->setGeometry(152, 48, 97, 25);
  setTabOrder(JumpPos, Button1);
  setTabOrder(Button1, Button2);

  connect(Button1, &QPushButton::clicked, this, &TJmpDialog::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TJmpDialog::Button2Click);
}

void TJmpDialog::Button2Click() { close(); }

void TJmpDialog::Button1Click() {
  FileSlot& slot = SlotTable[CurrentSlot];
  if (slot.ViewBase == nullptr) return;
  const std::optional<int32_t> number = ParseInt32(JumpPos->text());
  if (!number) {
    JumpPos->setText(QString::number(slot.TopLine + 1));
    return;
  }
  // In 64 bits: INT32_MIN - 1 must not wrap. Past the end, the last page
  // in sight; a line the index has not reached yet is waited for.
  JumpToLine(std::max<int64_t>(0, int64_t{*number} - 1));
}
