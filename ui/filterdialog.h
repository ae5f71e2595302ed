// The filter dialog (表示 → フィルタ(&L)..., Ctrl+L): the rules of the current
// tab's filter, one text and three options each, added with Return or 追加,
// deleted one by one or all at once with 解除. Non-modal; every change runs
// a command of commands/filter.h.
#pragma once

#include <QWidget>

class QAction;
class QCheckBox;
class QLineEdit;
class QListWidget;
class QMainWindow;
class QMenu;
class QPushButton;
class QRadioButton;
class QTimer;

class TFilterForm : public QWidget {
  Q_OBJECT
 public:
  explicit TFilterForm(QWidget* parent = nullptr);

  QLineEdit* FilterText = nullptr;
  QRadioButton* IncludeRd = nullptr;  // 含む(&I)
  QRadioButton* ExcludeRd = nullptr;  // 除く(&E)
  QCheckBox* RegexOp = nullptr;       // 正規表現(&R)
  QCheckBox* NoCaseOp = nullptr;      // 大文字・小文字を区別しない(&C)
  QPushButton* AddB = nullptr;        // 追加
  QListWidget* RuleList = nullptr;
  QPushButton* DeleteB = nullptr;  // 削除
  QPushButton* ClearB = nullptr;   // 解除
  QPushButton* CloseB = nullptr;   // 閉じる

  // Shows the dialog for the current tab with the focus in the text box.
  void ShowForCurrentTab();
  // The list shows the current tab's rules.
  void Refresh();

 public slots:
  void AddBClick();
  void DeleteBClick();
  void ClearBClick();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  QStringList shown_;  // the rules' texts the list shows
  bool placed_ = false;
};

// Puts フィルタ(&L)... into the menu, makes the dialog, and gives Esc in the
// main window to a filter being built. Returns the dialog.
TFilterForm* InstallFilterUi(QMainWindow* main, QMenu* showMenu);
