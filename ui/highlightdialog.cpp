#include "ui/highlightdialog.h"

#include <QAction>
#include <QCheckBox>
#include <QColorDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QPixmap>
#include <QPushButton>

#include "commands/highlight.h"
#include "ui/designfont.h"

namespace {

// The colours the rules get in turn, pale enough for black text.
const QRgb kPalette[kMaxHighlightRules] = {0xA0E0FF, 0xB0F0B0, 0xFFC0E0, 0xFFD0A0,
                                           0xD0C0FF, 0xC0F0F0, 0xE0E0A0, 0xFFB0B0};

QIcon Swatch(const QColor& colour) {
  QPixmap pixmap(14, 14);
  pixmap.fill(colour);
  return QIcon(pixmap);
}

}  // namespace

THighlightForm::THighlightForm(QWidget* parent) : QWidget(parent, Qt::Dialog) {
  setObjectName(QStringLiteral("HighlightFom"));
  setWindowTitle(QStringLiteral("強調表示"));
  setFont(PGothic(12));
  setFixedSize(417, 230);

  MarkText = new QLineEdit(this);
  MarkText->setObjectName(QStringLiteral("MarkText"));
  MarkText->setGeometry(8, 8, 297, 21);
  MarkText->setFont(PGothic(13));
  AddB = new QPushButton(QStringLiteral("追加"), this);
  AddB->setGeometry(312, 8, 97, 25);
  RegexOp = new QCheckBox(QStringLiteral("正規表現(&R)"), this);
  RegexOp->setGeometry(8, 36, 110, 20);
  NoCaseOp = new QCheckBox(QStringLiteral("大文字・小文字を区別しない(&C)"), this);
  NoCaseOp->setGeometry(120, 36, 200, 20);
  for (QCheckBox* box : {RegexOp, NoCaseOp}) box->setFocusPolicy(Qt::NoFocus);
  ColourB = new QPushButton(QStringLiteral("色(&O)..."), this);
  ColourB->setGeometry(312, 36, 97, 25);
  RuleList = new QListWidget(this);
  RuleList->setObjectName(QStringLiteral("HighlightList"));
  RuleList->setGeometry(8, 64, 297, 158);
  DeleteB = new QPushButton(QStringLiteral("削除"), this);
  DeleteB->setGeometry(312, 64, 97, 25);
  CloseB = new QPushButton(QStringLiteral("閉じる"), this);
  CloseB->setGeometry(312, 197, 97, 25);

  connect(MarkText, &QLineEdit::returnPressed, this, &THighlightForm::AddBClick);
  connect(AddB, &QPushButton::clicked, this, &THighlightForm::AddBClick);
  connect(DeleteB, &QPushButton::clicked, this, &THighlightForm::DeleteBClick);
  connect(ColourB, &QPushButton::clicked, this, &THighlightForm::ColourBClick);
  connect(CloseB, &QPushButton::clicked, this, &QWidget::close);
  SetNextColour(QColor::fromRgb(kPalette[0]));
}

void THighlightForm::SetNextColour(const QColor& colour) {
  colour_ = colour;
  ColourB->setIcon(Swatch(colour));
}

void THighlightForm::ShowRules() {
  Refresh();
  show();
  raise();
  activateWindow();
  MarkText->setFocus(Qt::OtherFocusReason);
}

void THighlightForm::Refresh() {
  RuleList->clear();
  const QList<HighlightRule> rules = HighlightRules();
  for (const HighlightRule& rule : rules) {
    QString caption = rule.text;
    if (rule.regex) caption += QStringLiteral("  [正規表現]");
    if (rule.ignoreCase) caption += QStringLiteral("  [大文字・小文字を区別しない]");
    RuleList->addItem(new QListWidgetItem(Swatch(rule.colour), caption));
  }
  const bool full = rules.size() >= kMaxHighlightRules;
  AddB->setEnabled(!full);
  MarkText->setEnabled(!full);
}

void THighlightForm::AddBClick() {
  QList<HighlightRule> rules = HighlightRules();
  if (MarkText->text().isEmpty() || rules.size() >= kMaxHighlightRules) return;
  rules.append(
      HighlightRule{MarkText->text(), RegexOp->isChecked(), NoCaseOp->isChecked(), colour_});
  if (!SetHighlightRules(rules)) return;
  MarkText->clear();
  // The next rule gets the next colour of the palette, unless chosen.
  SetNextColour(QColor::fromRgb(kPalette[rules.size() % kMaxHighlightRules]));
  Refresh();
}

void THighlightForm::DeleteBClick() {
  const int row = RuleList->currentRow();
  QList<HighlightRule> rules = HighlightRules();
  if (row < 0 || row >= rules.size()) return;
  rules.removeAt(row);
  SetHighlightRules(rules);
  Refresh();
}

void THighlightForm::ColourBClick() {
  const QColor chosen = QColorDialog::getColor(colour_, this, QStringLiteral("強調表示の色"));
  if (chosen.isValid()) SetNextColour(chosen);
}

THighlightForm* InstallHighlightUi(QMainWindow* main, QMenu* showMenu, QMenu* settingsMenu) {
  auto* form = new THighlightForm(main);
  auto* clear = new QAction(QStringLiteral("強調表示を消す"), main);
  clear->setObjectName(QStringLiteral("ClearMarks1"));
  clear->setStatusTip(QStringLiteral("検索した文字の強調表示を消します"));
  clear->setToolTip(clear->statusTip());
  QObject::connect(clear, &QAction::triggered, main, [] { ClearSearchMarks(); });
  showMenu->addSeparator();
  showMenu->addAction(clear);
  auto* open = new QAction(QStringLiteral("強調表示..."), main);
  open->setObjectName(QStringLiteral("Highlight1"));
  open->setStatusTip(QStringLiteral("指定した文字をどのページでも色付けします"));
  open->setToolTip(open->statusTip());
  QObject::connect(open, &QAction::triggered, form, &THighlightForm::ShowRules);
  settingsMenu->addSeparator();
  settingsMenu->addAction(open);
  return form;
}
