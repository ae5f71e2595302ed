#include "ui/statuspanels.h"

#include <QLabel>

void MakeRoomForProgress(QLabel* namePanel, QLabel* progressPanel, int nameWidth) {
  progressPanel->setMinimumWidth(
      progressPanel->fontMetrics().horizontalAdvance(QStringLiteral("読み込み中 100%")) +
      2 * progressPanel->frameWidth() + 8);
  namePanel->setMinimumWidth(nameWidth / 2);
  namePanel->setMaximumWidth(nameWidth);
}

void FitPanelToText(QLabel* panel) {
  const int needed =
      panel->fontMetrics().horizontalAdvance(panel->text()) + 2 * panel->frameWidth() + 8;
  if (needed <= panel->minimumWidth()) return;
  if (panel->maximumWidth() == panel->minimumWidth()) {
    panel->setFixedWidth(needed);
  } else {
    panel->setMinimumWidth(needed);
  }
}
