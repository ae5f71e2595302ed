// A view on slot 0 wired the way the main window wires it: the page image and
// both scroll bars registered and bound, the scroll bars' valueChanged
// connected to the page draws, the store's first_page/index_done drawing the
// page, and the view's outside texts recorded.
#pragma once

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QPainter>
#include <QStringList>
#include <memory>
#include <string>
#include <vector>

#include "store/slots.h"
#include "support/testfiles.h"
#include "view/view.h"

class ViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSlotTable();
    CurrentSlot = 0;
    TabWidth = 4;
    ShowLineNumbers = true;
    RangeSelectionMode = false;
    TextMargin = 0;
    AverageCharWidth = 10.0;
    image_ = std::make_unique<PageImage>(1250, 800);
    vscroll_ = std::make_unique<PageScrollBar>(Qt::Vertical);
    hscroll_ = std::make_unique<PageScrollBar>(Qt::Horizontal);
    RegisterSlotControls(0, nullptr, image_.get(), vscroll_.get(), hscroll_.get());
    BindSlotControls(0);
    ViewHooksRef() = ViewHooks{};
    ViewHooksRef().set_top_line_status = [this](const QString& s) { status_.append(s); };
    ViewHooksRef().set_jump_field = [this](const QString& s) { jump_.append(s); };
    ViewHooksRef().notice = [this](const QString& s) { notices_.append(s); };
    // A page control as large as the raster, so that clearing covers all of it.
    ViewHooksRef().page_control_size = [] { return QSize(1310, 830); };
    Hooks() = StoreHooks{};
    Hooks().first_page = [](FileSlot&) {
      DrawView(0, false);
      RefreshView();
    };
    Hooks().index_done = [](FileSlot& slot) {
      SetVerticalRange(slot);
      DrawView(0, true);
    };
    QObject::connect(vscroll_.get(), &QScrollBar::valueChanged, [this](int) {
      ++vertical_calls_;
      FileSlot& s = SlotTable[CurrentSlot];
      if (s.FileHandle != -1) DrawView(s.VScroll->value(), false);
    });
    QObject::connect(hscroll_.get(), &QScrollBar::valueChanged, [this](int) {
      ++horizontal_calls_;
      FileSlot& s = SlotTable[CurrentSlot];
      if (s.FileHandle != -1) DrawViewAtColumn(s.HScroll->value());
    });
  }

  void TearDown() override {
    CurrentSlot = 0;
    CloseDocument();
    ResetSlotTable();
    Hooks() = StoreHooks{};
    ViewHooksRef() = ViewHooks{};
    RegisterSlotControls(0, nullptr, nullptr, nullptr, nullptr);
  }

  // Writes the lines with CR LF ends and opens them into slot 0.
  void Open(const std::vector<std::string>& lines) {
    std::string bytes;
    for (const std::string& l : lines) bytes += l + "\r\n";
    OpenBytes(bytes);
  }
  void OpenBytes(const std::string& bytes) {
    const std::string path = dir_.Write("doc" + std::to_string(++files_) + ".txt", bytes);
    ASSERT_EQ(0, OpenDocument(path));
  }

  FileSlot& Slot() { return SlotTable[0]; }
  QImage& Raster() { return image_->Raster(); }

  // The page as the rows should look: white, then each row's text drawn at
  // x 10 with its top at the row top, on its own white box.
  QImage ReferencePage(const QStringList& rows) const {
    QImage page(image_->Raster().size(), QImage::Format_RGB32);
    page.fill(Qt::white);
    QPainter p(&page);
    p.setFont(image_->CanvasFont());
    p.setPen(Qt::black);
    p.setBackground(Qt::white);
    p.setBackgroundMode(Qt::OpaqueMode);
    const QFontMetrics fm(image_->CanvasFont(), &page);
    const double h = image_->FontSize() * 1.4;
    for (int r = 0; r < rows.size(); ++r) {
      p.drawText(QPoint(10, static_cast<int>(h * r) + fm.ascent()), rows[r]);
    }
    return page;
  }

  // "" when the pages are equal, else where they first differ (a readable
  // failure instead of two dumps of QImage's bytes).
  static std::string PageDiff(const QImage& expected, const QImage& actual) {
    if (expected.size() != actual.size()) return "sizes differ";
    for (int y = 0; y < expected.height(); ++y) {
      for (int x = 0; x < expected.width(); ++x) {
        if (expected.pixel(x, y) != actual.pixel(x, y)) {
          return "first difference at x " + std::to_string(x) + ", y " + std::to_string(y);
        }
      }
    }
    return "";
  }

  // Destination invert of a rectangle (right and bottom exclusive) on a copy.
  static QImage Inverted(QImage page, QRect r) {
    r = r.intersected(page.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
      for (int x = r.left(); x <= r.right(); ++x)
        page.setPixel(x, y, page.pixel(x, y) ^ 0x00FFFFFF);
    }
    return page;
  }

  // Raster point over byte column c of line l on the current page.
  int XOf(int column) const {
    return TextMargin + static_cast<int>((column - SlotTable[0].LeftColumn) * AverageCharWidth) + 1;
  }
  int YOf(int line) const { return RowTop(line - SlotTable[0].TopLine) + 2; }

  TempDir dir_;
  int files_ = 0;
  std::unique_ptr<PageImage> image_;
  std::unique_ptr<PageScrollBar> vscroll_;
  std::unique_ptr<PageScrollBar> hscroll_;
  QStringList status_;
  QStringList jump_;
  QStringList notices_;
  int vertical_calls_ = 0;
  int horizontal_calls_ = 0;
};

// Numbered lines "line 0001 ..." padded to a fixed width.
inline std::vector<std::string> NumberedLines(int count) {
  std::vector<std::string> lines;
  for (int i = 0; i < count; ++i) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "line %04d abcdefghij", i);
    lines.emplace_back(buf);
  }
  return lines;
}
