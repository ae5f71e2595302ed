#include "ui/Rpsearch.h"

#include "commands/Rpcmd1.h"
#include "commands/highlight.h"
#include "ui/designfont.h"

TSearchFom::TSearchFom(QWidget* parent) : QWidget(parent, Qt::Dialog) {
  setWindowTitle(QStringLiteral("検索"));
  setFont(PGothic(12));
  setFixedSize(417, 129);  // client area of a 425 x 156 window
  move(0, 0);

  Label1 = new QLabel(QStringLiteral("検索文字"), this);
  Label1->setGeometry(8, 10, 60, 15);
  Label1->setFont(PGothic(15));
  SearchB = new QPushButton(QStringLiteral("検索"), this);
  SearchB->setGeometry(312, 8, 97, 25);
  SearchB->setToolTip(QStringLiteral("文字の検索を実行します"));
  SearchCmb = new QComboBox(this);
  SearchCmb->setEditable(true);
  // The history is kept by SearchBClick alone; Enter in the box adds nothing.
  SearchCmb->setInsertPolicy(QComboBox::NoInsert);
  SearchCmb->setDuplicatesEnabled(true);
  // Completion would silently change the case of a typed text to an item's.
  SearchCmb->setCompleter(nullptr);
  SearchCmb->setGeometry(80, 8, 225, 21);
  SearchCmb->setFont(PGothic(13));

  GroupBox1 = new QGroupBox(QStringLiteral("オプション"), this);
  GroupBox1->setGeometry(24, 40, 185, 73);
  SOp1_NoUL = new QCheckBox(QStringLiteral("大文字・小文字を区別しない"), GroupBox1);
  SOp1_NoUL->setGeometry(8, 16, 169, 17);
  SOp3_All = new QCheckBox(QStringLiteral("連続検索"), GroupBox1);
  SOp3_All->setGeometry(8, 32, 89, 17);
  SOp4_Tabs = new QCheckBox(QStringLiteral("全タブ(&T)"), GroupBox1);
  SOp4_Tabs->setGeometry(104, 32, 77, 17);
  SOp2_Reg = new QCheckBox(QStringLiteral("正規表現検索"), GroupBox1);
  SOp2_Reg->setGeometry(8, 48, 105, 22);

  GroupBox2 = new QGroupBox(QStringLiteral("検索方向"), this);
  GroupBox2->setGeometry(216, 40, 89, 73);
  SRd1_Up = new QRadioButton(QStringLiteral("上方向"), GroupBox2);
  SRd1_Up->setGeometry(8, 16, 73, 25);
  SRd2_Down = new QRadioButton(QStringLiteral("下方向"), GroupBox2);
  SRd2_Down->setGeometry(8, 40, 57, 25);
  SRd2_Down->setChecked(true);

  Button3 = new QPushButton(QStringLiteral("閉じる"), this);
  Button3->setGeometry(312, 40, 97, 25);
  ThreadCancel = new QPushButton(QStringLiteral("キャンセル"), this);
  ThreadCancel->setGeometry(312, 88, 97, 25);
  ThreadCancel->setVisible(false);

  BgTimer = new QTimer(this);
  BgTimer->setInterval(100);

  setTabOrder(SearchB, SearchCmb);
  setTabOrder(SearchCmb, SOp1_NoUL);
  setTabOrder(SOp1_NoUL, SOp2_Reg);
  setTabOrder(SOp2_Reg, SOp3_All);
  setTabOrder(SOp3_All, SOp4_Tabs);
  setTabOrder(SOp4_Tabs, SRd1_Up);
  setTabOrder(SRd1_Up, ThreadCancel);
  setTabOrder(ThreadCancel, Button3);

  connect(SearchB, &QPushButton::clicked, this, &TSearchFom::SearchBClick);
  connect(Button3, &QPushButton::clicked, this, &TSearchFom::Button3Click);
  connect(ThreadCancel, &QPushButton::clicked, this, &TSearchFom::ThreadCancelClick);
  connect(BgTimer, &QTimer::timeout, this, &TSearchFom::BgTimerTimer);
  // The page's marks of the last search go once the text is another.
  connect(SearchCmb, &QComboBox::editTextChanged, this, &SearchTextEdited);
  // Every tab is searched through: 全タブ goes with 連続検索.
  connect(SOp4_Tabs, &QCheckBox::toggled, this, [this](bool on) {
    if (on) SOp3_All->setChecked(true);
  });
  connect(SOp3_All, &QCheckBox::toggled, this, [this](bool on) {
    if (!on) SOp4_Tabs->setChecked(false);
  });
}

SearchOptions TSearchFom::Options() const {
  SearchOptions options;
  options.IgnoreCase = SOp1_NoUL->isChecked();
  options.Regex = SOp2_Reg->isChecked();
  options.Continuous = SOp3_All->isChecked();
  options.AllTabs = SOp4_Tabs->isChecked();
  options.Down = SRd2_Down->isChecked();
  return options;
}

void TSearchFom::ThreadCancelClick() { SearchRunning = false; }

void TSearchFom::SearchBClick() {
  const QString text = SearchCmb->currentText();
  if (text.isEmpty()) return;
  if (SearchCmb->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0) {
    SearchCmb->insertItem(0, text);
    // insertItem can move the current index; the edit keeps the typed text.
    SearchCmb->setCurrentIndex(0);
  }
  if (SOp3_All->isChecked()) close();
  rpcmd::_find_str(text);
}

void TSearchFom::Button3Click() { close(); }

void TSearchFom::BgTimerTimer() { AppendLog(QStringLiteral(" === Timer =======")); }
