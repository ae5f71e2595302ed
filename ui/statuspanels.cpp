#include "ui/statuspanels.h"

#include <QLabel>

void MakeRoomForProgress(QLabel* namePanel, QLabel* progressPanel, int nameWidth) {
  progressPanel->setMinimumWidth(
      progressPanel->fontMetrics().horizontalAdvance(QStringLiteral("読み込み中 100%")) +
      2 * progressPanel->frameWidth() + 8);
  namePanel->setMinimumWidth(nameWidth / 2);
  namePanel->setMaximumWidth(nameWidth);
}
