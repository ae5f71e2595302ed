// The program entry: the application object, the five windows in their fixed
// order, the hooks that connect the commands to them, and the event loop.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QIcon>
#include <QLibraryInfo>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QTimer>
#include <QTranslator>
#include <chrono>
#include <cstdlib>
#include <exception>

#include "commands/Rpcmd1.h"
#include "store/earlyopen.h"
#include "store/indexer.h"
#include "store/slots.h"
#include "ui/Rpjump.h"
#include "ui/Rpmain1.h"
#include "ui/Rpsearch.h"
#include "ui/Rpsearchlog.h"
#include "ui/dmkAbout.h"
#include "view/view.h"

// Off unless asked for: QT_LOGGING_RULES="dolmik.timing=true".
Q_LOGGING_CATEGORY(lcTiming, "dolmik.timing", QtWarningMsg)

namespace {

QElapsedTimer sinceMain;
bool firstPageTraced = false;  // for the open in progress

// Each line carries the time since main() began and the wall clock in ms
// since the epoch: a caller that notes the wall clock just before it starts
// the program gets the time from the process start, with the loading of the
// libraries before main() included.
void TraceTiming(const char* what, const FileSlot& slot) {
  const double epochMs =
      std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  qCInfo(lcTiming, "%10.3f ms  %s (%d lines) %s  [epoch %.3f ms]", sinceMain.nsecsElapsed() / 1e6,
         what, slot.LineCount, slot.FileName.c_str(), epochMs);
}

// Wraps the store's open callbacks, as set by InstallCommandHooks(), with
// time stamps.
void InstallTimingTrace() {
  if (!lcTiming().isInfoEnabled()) return;
  StoreHooks& hooks = Hooks();
  auto log = hooks.log;
  hooks.log = [log](const std::string& text) {
    // The store's first log line of an open: the file is mapped, the index
    // build begins.
    if (text.find("ファイルオープン開始") != std::string::npos) {
      firstPageTraced = false;
      TraceTiming("open started", SlotTable[CurrentSlot]);
    }
    if (log) log(text);
  };
  auto firstPage = hooks.first_page;
  hooks.first_page = [firstPage](FileSlot& slot) {
    if (firstPage) firstPage(slot);
    firstPageTraced = true;
    TraceTiming("first page drawn", slot);
  };
  auto indexDone = hooks.index_done;
  hooks.index_done = [indexDone](FileSlot& slot) {
    if (indexDone) indexDone(slot);
    // A file of fewer than 8192 lines shows its first page only now.
    if (!firstPageTraced) TraceTiming("first page drawn", slot);
    firstPageTraced = true;
    TraceTiming("index complete", slot);
  };
}

// An exception that escapes an event handler is shown with its text and
// the event loop goes on, as the toolkit's default error report would.
class Application : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
      QMessageBox::critical(nullptr, QStringLiteral("Dolmik"), QString::fromLocal8Bit(e.what()));
    } catch (...) {
      QMessageBox::critical(nullptr, QStringLiteral("Dolmik"), QStringLiteral("Unknown error"));
    }
    return false;
  }
};

void LoadTranslations(QApplication& app) {
  // Qt's own dialogs and buttons in Japanese.
  const QString path = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  for (const char* name : {"qtbase_ja", "qt_ja"}) {
    auto* translator = new QTranslator(&app);
    if (translator->load(QLatin1String(name), path)) {
      app.installTranslator(translator);
    } else {
      delete translator;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  sinceMain.start();
  // For the end-to-end scripts: every index waits after this many 8 MiB
  // scan windows, so that a script can act while an index is half built.
  // Set first: the early open below indexes already.
  if (const char* hold = std::getenv("DOLMIK_TEST_INDEX_HOLD")) {
    HoldIndexersAfterChunks(std::atoi(hold));
  }
  // The first file named indexes while the toolkit and the windows come up;
  // the main window's open of it adopts what is done by then. An argument
  // that may be one of the toolkit's options is left to it.
  if (argc >= 2 && argv[1][0] != '-') StartEarlyOpen(argv[1], 0);
  Application app(argc, argv);
  Q_INIT_RESOURCE(dolmik);
  try {
    // The window captions stay exact ("Dolmik", "検索", ...); the long title
    // is what the desktop shows for the program (its desktop entry).
    QGuiApplication::setApplicationName(QStringLiteral("dolmik"));
    QGuiApplication::setDesktopFileName(QStringLiteral("dolmik"));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/dolmik.png")));
    InstallFontSubstitutions();
    LoadTranslations(app);

    // The store's callbacks first: the main window's creation already opens
    // the files named on the command line.
    InstallCommandHooks();
    InstallTimingTrace();
    // The hold set above is lifted once this file exists, so that a script
    // decides when an index may complete instead of racing it.
    if (const char* release = std::getenv("DOLMIK_TEST_INDEX_RELEASE")) {
      auto* poll = new QTimer(&app);
      QObject::connect(poll, &QTimer::timeout, poll,
                       [poll, path = QString::fromLocal8Bit(release)] {
                         if (!QFile::exists(path)) return;
                         HoldIndexersAfterChunks(-1);
                         poll->stop();
                       });
      poll->start(50);
    }

    // The file names as the bytes the system gave: decoding them to text
    // would turn a name that is not UTF-8 into one that names no file. The
    // application object has already taken its own options out of argv.
    QList<QByteArray> params;
    for (int i = 1; i < argc; ++i) params << QByteArray(argv[i]);
    auto* main = new TRpEdit(params);
    DiscardEarlyOpen();  // not adopted: the window opened something else
    CreateDialogs(main);
    main->show();

    const int result = app.exec();
    (void)result;

    DestroyWindows(main);
  } catch (const std::exception& e) {
    QMessageBox::critical(nullptr, QStringLiteral("Dolmik"), QString::fromLocal8Bit(e.what()));
  }
  return 0;
}
