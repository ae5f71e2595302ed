// The search dialog: the search text with its history, and the four option
// controls that the scan reads at every call.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QWidget>

#include "search/search.h"

class TSearchFom : public QWidget {
  Q_OBJECT
 public:
  explicit TSearchFom(QWidget* parent = nullptr);

  QLabel* Label1;
  QPushButton* SearchB;
  QComboBox* SearchCmb;
  QGroupBox* GroupBox1;
  QGroupBox* GroupBox2;
  QRadioButton* SRd1_Up;
  QRadioButton* SRd2_Down;
  QCheckBox* SOp1_NoUL;
  QCheckBox* SOp2_Reg;
  QCheckBox* SOp3_All;
  QCheckBox* SOp4_Tabs;  // 全タブ(&T): the continuous search over every open tab
  QPushButton* ThreadCancel;
  QPushButton* Button3;
  QTimer* BgTimer;

  // The options as the controls show them now.
  SearchOptions Options() const;

 public slots:
  void ThreadCancelClick();
  void SearchBClick();
  void Button3Click();
  void BgTimerTimer();
};
