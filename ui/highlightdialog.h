// 設定 → 強調表示...: up to eight highlight rules (text, regular expression,
// ignore case, colour) that colour every occurrence on every page, and
// 表示 → 強調表示を消す, which takes the last search's marks away.
#pragma once

#include <QColor>
#include <QWidget>

class QCheckBox;
class QLineEdit;
class QListWidget;
class QMainWindow;
class QMenu;
class QPushButton;

class THighlightForm : public QWidget {
  Q_OBJECT
 public:
  explicit THighlightForm(QWidget* parent = nullptr);

  QLineEdit* MarkText = nullptr;
  QCheckBox* RegexOp = nullptr;    // 正規表現(&R)
  QCheckBox* NoCaseOp = nullptr;   // 大文字・小文字を区別しない(&C)
  QPushButton* ColourB = nullptr;  // 色(&O)...: the colour of the next rule
  QPushButton* AddB = nullptr;     // 追加
  QListWidget* RuleList = nullptr;
  QPushButton* DeleteB = nullptr;  // 削除
  QPushButton* CloseB = nullptr;   // 閉じる

  void ShowRules();
  // The colour the next rule gets.
  QColor NextColour() const { return colour_; }
  void SetNextColour(const QColor& colour);

 public slots:
  void AddBClick();
  void DeleteBClick();
  void ColourBClick();

 private:
  void Refresh();
  QColor colour_;
};

// Puts 強調表示を消す into the show menu and 強調表示... into the settings
// menu; returns the dialog.
THighlightForm* InstallHighlightUi(QMainWindow* main, QMenu* showMenu, QMenu* settingsMenu);
