#include "ui/filterdialog.h"

#include <QAction>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <algorithm>

#include "commands/filter.h"
#include "store/slots.h"
#include "ui/designfont.h"

namespace {

QString RuleCaption(const FilterRuleText& rule) {
  QString caption = rule.exclude ? QStringLiteral("除く: ") : QStringLiteral("含む: ");
  caption += rule.text;
  if (rule.regex) caption += QStringLiteral("  [正規表現]");
  if (rule.ignoreCase) caption += QStringLiteral("  [大文字・小文字を区別しない]");
  return caption;
}

}  // namespace

TFilterForm::TFilterForm(QWidget* parent) : QWidget(parent, Qt::Dialog) {
  setObjectName(QStringLiteral("FilterFom"));
  setWindowTitle(QStringLiteral("フィルタ"));
  setFont(PGothic(12));
  setFixedSize(417, 250);

  FilterText = new QLineEdit(this);
  FilterText->setObjectName(QStringLiteral("FilterText"));
  FilterText->setGeometry(8, 8, 297, 21);
  FilterText->setFont(PGothic(13));
  AddB = new QPushButton(QStringLiteral("追加"), this);
  AddB->setObjectName(QStringLiteral("AddB"));
  AddB->setGeometry(312, 8, 97, 25);

  // The options keep no focus of their own: their keys (Alt+I, Alt+E, ...)
  // set them and the typing goes on in the text box.
  auto option = [this](auto* button, int x, int y, int w) {
    button->setGeometry(x, y, w, 20);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
  };
  IncludeRd = option(new QRadioButton(QStringLiteral("含む(&I)"), this), 8, 36, 80);
  ExcludeRd = option(new QRadioButton(QStringLiteral("除く(&E)"), this), 92, 36, 80);
  IncludeRd->setChecked(true);
  RegexOp = option(new QCheckBox(QStringLiteral("正規表現(&R)"), this), 176, 36, 120);
  NoCaseOp =
      option(new QCheckBox(QStringLiteral("大文字・小文字を区別しない(&C)"), this), 8, 58, 260);

  RuleList = new QListWidget(this);
  RuleList->setObjectName(QStringLiteral("RuleList"));
  RuleList->setGeometry(8, 84, 297, 158);
  DeleteB = new QPushButton(QStringLiteral("削除"), this);
  DeleteB->setGeometry(312, 84, 97, 25);
  ClearB = new QPushButton(QStringLiteral("解除"), this);
  ClearB->setObjectName(QStringLiteral("ClearB"));
  ClearB->setGeometry(312, 116, 97, 25);
  CloseB = new QPushButton(QStringLiteral("閉じる"), this);
  CloseB->setGeometry(312, 217, 97, 25);

  connect(FilterText, &QLineEdit::returnPressed, this, &TFilterForm::AddBClick);
  connect(AddB, &QPushButton::clicked, this, &TFilterForm::AddBClick);
  connect(DeleteB, &QPushButton::clicked, this, &TFilterForm::DeleteBClick);
  connect(ClearB, &QPushButton::clicked, this, &TFilterForm::ClearBClick);
  connect(CloseB, &QPushButton::clicked, this, &QWidget::close);
  FilterHooksRef().changed = [this] { Refresh(); };
}

void TFilterForm::ShowForCurrentTab() {
  Refresh();
  if (!placed_ && parentWidget() != nullptr) {
    // First shown at the main window's top right, over the log rather than
    // the start of the page's rows.
    const QRect frame = parentWidget()->frameGeometry();
    move(std::max(frame.left(), frame.right() - width() - 24), frame.top() + 40);
    placed_ = true;
  }
  show();
  raise();
  activateWindow();
  FilterText->setFocus(Qt::OtherFocusReason);
}

void TFilterForm::Refresh() {
  const QList<FilterRuleText> rules = FilterRulesOf(CurrentSlot);
  QStringList captions;
  for (const FilterRuleText& rule : rules) captions << RuleCaption(rule);
  if (captions == shown_) return;
  shown_ = captions;
  RuleList->clear();
  RuleList->addItems(captions);
}

void TFilterForm::AddBClick() {
  const QString text = FilterText->text();
  if (text.isEmpty()) return;
  FilterRuleText rule;
  rule.text = text;
  rule.exclude = ExcludeRd->isChecked();
  rule.regex = RegexOp->isChecked();
  rule.ignoreCase = NoCaseOp->isChecked();
  if (rpcmd::_filter(rule) == 0) FilterText->clear();
  Refresh();
}

void TFilterForm::DeleteBClick() {
  const int row = RuleList->currentRow();
  if (row < 0) return;
  rpcmd::_filter_delete(row);
  Refresh();
}

void TFilterForm::ClearBClick() {
  rpcmd::_filter_clear();
  Refresh();
}

void TFilterForm::keyPressEvent(QKeyEvent* event) {
  // Esc stops a filter being built, as it stops an index; else it closes.
  if (event->key() == Qt::Key_Escape) {
    if (CancelFilterBuild() != 0) close();
    Refresh();
    return;
  }
  if (event->key() == Qt::Key_Delete && RuleList->hasFocus()) {
    DeleteBClick();
    return;
  }
  QWidget::keyPressEvent(event);
}

void TFilterForm::changeEvent(QEvent* event) {
  // Another tab may have come to the front since the list was drawn.
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) Refresh();
  QWidget::changeEvent(event);
}

TFilterForm* InstallFilterUi(QMainWindow* main, QMenu* showMenu) {
  auto* form = new TFilterForm(main);
  auto* open = new QAction(QStringLiteral("フィルタ(&L)..."), main);
  open->setObjectName(QStringLiteral("Filter1"));
  open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
  open->setStatusTip(QStringLiteral("条件に合う行だけを表示します"));
  open->setToolTip(open->statusTip());
  QObject::connect(open, &QAction::triggered, form, &TFilterForm::ShowForCurrentTab);
  showMenu->addAction(open);

  // Esc in the main window while the filter is built; the index's own Esc
  // comes first while the document is still indexed (the two never both
  // take the key).
  auto* cancel = new QAction(main);
  cancel->setObjectName(QStringLiteral("FilterCancelKey"));
  cancel->setShortcut(QKeySequence(Qt::Key_Escape));
  cancel->setEnabled(false);
  QObject::connect(cancel, &QAction::triggered, form, [form] {
    CancelFilterBuild();
    form->Refresh();
  });
  main->addAction(cancel);
  auto* watch = new QTimer(form);
  watch->setInterval(100);
  QObject::connect(watch, &QTimer::timeout, form, [form, cancel] {
    cancel->setEnabled(FilterBuilding() && IndexComplete(SlotTable[CurrentSlot]));
    if (form->isVisible()) form->Refresh();
  });
  watch->start();
  return form;
}
