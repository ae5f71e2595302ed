#include "ui/dmkAbout.h"
#include "ui/designfont.h"

#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>
#include <QScreen>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextDocument>

void InstallAboutFontSubstitutions() {
  static bool done = false;
  if (done) return;
  done = true;
  QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                             {QStringLiteral("DejaVu Sans"), QStringLiteral("IPAPGothic")});
  // A heavy, wide display face; DejaVu Sans in bold comes closest of the
  // fonts the setup installs.
  QFont::insertSubstitutions(QStringLiteral("Eras Ultra ITC"),
                             {QStringLiteral("DejaVu Sans"), QStringLiteral("IPAPGothic")});
}

QStringList TAbout::MemoLines() {
  return {
      QStringLiteral("単純なテキストファイルビュワーです。エディター"),
      QStringLiteral("では有りませんが、エディターで開けない大容量の"),
      QStringLiteral("テキストファイルを高速に見ることが出来ます。"),
      QString(),
      QStringLiteral("＜テスト：700Mhz,メモリー128M＞"),
      QStringLiteral(" 100万行(ファイルサイズ=25M)\u3000 = 3秒程度で開く"),
      QStringLiteral("1000万行(ファイルサイズ=250M)  =40秒程度で開く"),
      QString(),
      QStringLiteral("＜テスト：400Mhz,メモリー512M＞"),
      QStringLiteral(" 100万行(ファイルサイズ=25M)\u3000 = 1秒程度で開く"),
      QStringLiteral("1000万行(ファイルサイズ=250M)  =20秒程度で開く"),
      QStringLiteral("4000万行(ファイルサイズ=1G)  \u3000= 1分程度で開く"),
      QStringLiteral(" "),
  };
}

TAbout::TAbout(QWidget* parent) : QDialog(parent) {
  InstallAboutFontSubstitutions();
  setWindowTitle(QStringLiteral("About"));
  setModal(false);
  setFont(DesignFont(QStringLiteral("MS Sans Serif"), 19, true));
  setFixedSize(298, 248);
  setSizeGripEnabled(false);
  // Centred on the screen the first time it is shown; the window manager may
  // move it afterwards.
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(298 / 2, 248 / 2));
  }

  Image2 = new QLabel(this);
  Image2->setGeometry(8, 8, 33, 33);
  Image2->setPixmap(QPixmap(QStringLiteral(":/icons/dolmik.png")));
  Image2->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  Label1 = new QLabel(QStringLiteral("Dolmik"), this);
  Label1->setFont(DesignFont(QStringLiteral("Eras Ultra ITC"), 32, true));
  Label1->move(64, 8);
  Label1->adjustSize();

  Label2 = new QLabel(QStringLiteral("Version 0.60"), this);
  Label2->setFont(DesignFont(QStringLiteral("MS Sans Serif"), 13, false));
  Label2->move(224, 8);
  Label2->adjustSize();
  // A stand-in font may be wider than the original; keep the text inside.
  if (Label2->geometry().right() > 296) Label2->move(296 - Label2->width(), 8);

  Button1 = new QPushButton(QStringLiteral("閉じる"), this);
  Button1->setGeometry(220, 65, 75, 25);
  Button1->setFont(DesignFont(QStringLiteral("ＭＳ ゴシック"), 13, false));
  Button1->setDefault(true);

  const QColor menuColour = palette().color(QPalette::Window).darker(108);
  Shape1 = new QFrame(this);
  Shape1->setGeometry(8, 96, 280, 2);
  Shape1->setFrameShape(QFrame::NoFrame);
  Shape1->setAutoFillBackground(true);
  QPalette shapePalette = Shape1->palette();
  shapePalette.setColor(QPalette::Window, menuColour);
  Shape1->setPalette(shapePalette);

  Memo1 = new QTextEdit(this);
  Memo1->setGeometry(8, 104, 281, 137);
  Memo1->setReadOnly(true);
  Memo1->setAcceptRichText(false);
  Memo1->setFrameShape(QFrame::NoFrame);
  Memo1->setFont(DesignFont(QStringLiteral("ＭＳ 明朝"), 11, false));
  Memo1->setLineWrapMode(QTextEdit::NoWrap);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setFocusPolicy(Qt::NoFocus);  // Enter always reaches the default button
  QPalette memoPalette = Memo1->palette();
  memoPalette.setColor(QPalette::Base, menuColour);
  Memo1->setPalette(memoPalette);
  Memo1->setPlainText(MemoLines().join(QLatin1Char('\n')));
  // The stand-in Mincho has a taller line than the original's 11 pixels;
  // rows of 10.5 pixels fit all thirteen lines into the 137-pixel memo.
  Memo1->document()->setDocumentMargin(1);
  QTextCursor all(Memo1->document());
  all.select(QTextCursor::Document);
  QTextBlockFormat rows;
  rows.setLineHeight(10.5, QTextBlockFormat::FixedHeight);
  all.mergeBlockFormat(rows);

  connect(Button1, &QPushButton::clicked, this, &TAbout::Button1Click);
}

void TAbout::Button1Click() { close(); }
