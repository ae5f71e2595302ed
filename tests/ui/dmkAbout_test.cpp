#include "ui/dmkAbout.h"

#include "tests/ui/dialog_windows.h"

namespace {

using AboutBox = DialogWindows;

TEST_F(AboutBox, ShowsTheThirteenLines) {
  // U+3000 is the ideographic space; the last line holds one ordinary space.
  const QStringList expected = {
      "単純なテキストファイルビュワーです。エディター",
      "では有りませんが、エディターで開けない大容量の",
      "テキストファイルを高速に見ることが出来ます。",
      "",
      "＜テスト：700Mhz,メモリー128M＞",
      " 100万行(ファイルサイズ=25M)\u3000 = 3秒程度で開く",
      "1000万行(ファイルサイズ=250M)  =40秒程度で開く",
      "",
      "＜テスト：400Mhz,メモリー512M＞",
      " 100万行(ファイルサイズ=25M)\u3000 = 1秒程度で開く",
      "1000万行(ファイルサイズ=250M)  =20秒程度で開く",
      "4000万行(ファイルサイズ=1G)  \u3000= 1分程度で開く",
      " ",
  };
  EXPECT_EQ(About->Memo1->toPlainText().split(QLatin1Char('\n')), expected);
  EXPECT_EQ(About->Memo1->isReadOnly(), true);
}

TEST_F(AboutBox, EnterClosesAndItShowsAgain) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    About->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(About));
    EXPECT_EQ(About->size(), QSize(298, 248));
    EXPECT_EQ(About->Image2->pixmap().isNull(), false);  // the icon resource is built in
    QTest::keyClick(About, Qt::Key_Return);
    EXPECT_EQ(About->isVisible(), false);
  }
}

}  // namespace
