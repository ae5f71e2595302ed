// The search result window: one line per hit of every continuous search,
// framed by the start and end reports. A click or Up/Down on a hit line
// switches to its tab and shows the line.
#pragma once

#include <QFileDialog>
#include <QPushButton>
#include <QWidget>

#include "ui/LineMemo.h"

class TSearchLogF : public QWidget {
  Q_OBJECT
 public:
  explicit TSearchLogF(QWidget* parent = nullptr);

  QPushButton* Button1;
  QFileDialog* SaveDialog1 = nullptr;  // made at its first use
  QPushButton* Button2;
  QPushButton* Button3;
  QPushButton* Button4;
  LineMemo* SearchLog;

  // Makes the caret line the memo's selection, except for the memo's first
  // line, which is never taken (it is the empty line or a report).
  void SelectCaretLine(LineMemo* memo);
  // Reads slot and line number from the caret line and shows that line: the
  // hit becomes the fifth row of the page and is inverted.
  void JumpToLogLine();
  // Shows the window and brings it forward. A hidden window is first placed
  // where it hides none of the page rows that a search or a jump to a hit
  // uses; a window on view stays where the user left it.
  void ShowBelowHitRows();

 public slots:
  void Button3Click();
  void Button1Click();
  void Button2Click();
  void Button4Click();
  void SearchLogMouseDown(Qt::MouseButton button);
  void SearchLogKeyDown(int key);

 protected:
  void resizeEvent(QResizeEvent* event) override;
};
