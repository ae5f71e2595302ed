// Widths of the main window's status panels that depend on their texts.
#pragma once

class QLabel;

// The progress panel is never narrower than its longest loading text
// ("読み込み中 100%"); the file name panel, of design width nameWidth at
// most, gives up the room that takes at small window widths.
void MakeRoomForProgress(QLabel* namePanel, QLabel* progressPanel, int nameWidth);

// Widens a panel to show its whole text (never narrows it): the line counts
// of a filter or a search and the names of compressed encodings outgrow the
// design widths. A fixed-width panel stays fixed, at the new width.
void FitPanelToText(QLabel* panel);
