// The program's five windows, created at start-up in this order and reachable
// through one global pointer each (null until created).
#pragma once

class QPoint;
class QSize;
class QWidget;
class TRpEdit;      // main window (Rpmain1)
class TJmpDialog;   // jump dialog (Rpjump)
class TSearchFom;   // search dialog (Rpsearch)
class TSearchLogF;  // search result window (Rpsearchlog)
class TAbout;       // About box (dmkAbout)

extern TRpEdit* RpEdit;
extern TJmpDialog* JmpDialog;
extern TSearchFom* SearchFom;
extern TSearchLogF* SearchLogF;
extern TAbout* About;

// The main window as a plain widget (for dialogs that must not include it).
QWidget* MainWindowWidget();
// Makes slot n's tab the active page without running the tab-change handler.
void ActivateSlotPage(int slot);
// Where a window of this frame size goes so that it hides no row of the
// current page that a search or a jump to a hit uses (the hit is the top row
// after a search and the fifth after a click in the result list): below
// those rows, at the main window's left edge, inside the screen. Global
// coordinates of the frame's top-left corner.
QPoint BelowHitRows(const QSize& frameSize);

// Connects the dialogs to the command layer and the search: the search
// options, the search result window's memo, the Cancel buttons. Called once
// after the five windows exist.
void InstallDialogHooks();

// Creates windows 2 to 5 in their fixed order, hidden, each a window of its
// own above the main window, and connects them (InstallDialogHooks and the
// main window's watch of continuous searches).
void CreateDialogs(TRpEdit* main);
// Destroys the five windows: windows 2 to 5 first, so that nothing reaches
// them through their globals while the main window's destruction runs its
// last _exit.
void DestroyWindows(TRpEdit* main);
