// The drawn tool-bar images and program icon, and the help document shipped
// beside the program. Runs without a display (offscreen platform).
//
// `desktop_icons_tests --contact-sheet=sheet.png` writes every image, enabled
// and disabled at two sizes, and the program icon at its sizes into one PNG
// for looking at, instead of running the tests.

#include <gtest/gtest.h>

#include <QApplication>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QXmlStreamReader>

#include <cstring>
#include <string>

#include "desktop/icons.h"

namespace vistarium::desktop {
namespace {

struct Look {
  double Coverage = 0;    // share of pixels that are mostly opaque
  double Saturation = 0;  // mean HSV saturation (0..255) of those pixels
  double Alpha = 0;       // mean alpha over all pixels
};

Look LookOf(const QPixmap& pixmap) {
  const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
  Look look;
  int opaque = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      look.Alpha += c.alpha();
      if (c.alpha() >= 128) {
        ++opaque;
        look.Saturation += c.hsvSaturation();
      }
    }
  const double pixels = double(image.width()) * image.height();
  look.Coverage = opaque / pixels;
  look.Saturation = opaque > 0 ? look.Saturation / opaque : 0;
  look.Alpha /= pixels;
  return look;
}

// Share of pixels whose colour or alpha differ clearly between the two images.
double DifferingShare(const QPixmap& a, const QPixmap& b) {
  const QImage ia = a.toImage().convertToFormat(QImage::Format_ARGB32);
  const QImage ib = b.toImage().convertToFormat(QImage::Format_ARGB32);
  int differing = 0;
  for (int y = 0; y < ia.height(); ++y)
    for (int x = 0; x < ia.width(); ++x) {
      const QRgb pa = ia.pixel(x, y), pb = ib.pixel(x, y);
      const int d = std::abs(qRed(pa) - qRed(pb)) + std::abs(qGreen(pa) - qGreen(pb)) +
                    std::abs(qBlue(pa) - qBlue(pb)) + std::abs(qAlpha(pa) - qAlpha(pb));
      if (d > 96) ++differing;
    }
  return differing / (double(ia.width()) * ia.height());
}

TEST(ToolImages, EveryImageIsDrawnAtTheSizeAsked) {
  for (int i = 0; i < kToolImageCount; ++i)
    for (int size : {16, 24, 48}) {
      const QPixmap image = ToolImage(i, true, size);
      ASSERT_FALSE(image.isNull()) << "image " << i;
      EXPECT_EQ(image.width(), size) << "image " << i;
      EXPECT_EQ(image.height(), size) << "image " << i;
      const Look look = LookOf(image);
      EXPECT_GT(look.Coverage, 0.2) << "image " << i << " at " << size << " is nearly empty";
      EXPECT_LT(look.Coverage, 0.95) << "image " << i << " at " << size << " fills its whole square";
      EXPECT_GT(look.Saturation, 40) << "image " << i << " has no colour";
    }
  EXPECT_TRUE(ToolImage(-1, true).isNull());
  EXPECT_TRUE(ToolImage(kToolImageCount, true).isNull());
  EXPECT_TRUE(ToolImage(0, true, 0).isNull());
}

TEST(ToolImages, AllThirteenDifferFromEachOther) {
  for (int i = 0; i < kToolImageCount; ++i)
    for (int j = i + 1; j < kToolImageCount; ++j)
      EXPECT_GT(DifferingShare(ToolImage(i, true), ToolImage(j, true)), 0.1)
          << "images " << i << " and " << j << " look alike";
}

TEST(ToolImages, DisabledImageIsGreyAndFaded) {
  for (int i = 0; i < kToolImageCount; ++i) {
    const QPixmap enabled = ToolImage(i, true), disabled = ToolImage(i, false);
    ASSERT_EQ(disabled.size(), enabled.size());
    const Look on = LookOf(enabled), off = LookOf(disabled);
    EXPECT_LT(off.Saturation, 0.25 * on.Saturation) << "image " << i;
    EXPECT_LT(off.Alpha, 0.8 * on.Alpha) << "image " << i;
    EXPECT_GT(DifferingShare(enabled, disabled), 0.1) << "image " << i;
  }
}

TEST(ToolImages, IconCarriesBothModes) {
  for (int i = 0; i < kToolImageCount; ++i) {
    const QIcon icon = ToolIcon(i);
    const QPixmap normal = icon.pixmap(24, QIcon::Normal), disabled = icon.pixmap(24, QIcon::Disabled);
    EXPECT_GT(DifferingShare(normal, ToolImage(i, false)), 0.1) << "icon " << i;
    EXPECT_LT(DifferingShare(disabled, ToolImage(i, false)), 0.01) << "icon " << i;
  }
}

TEST(ProgramIcon, HasEverySizeFrom16To256) {
  const QIcon icon = ProgramIcon();
  for (int size : {16, 32, 48, 256}) {
    EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size))) << size;
    const Look look = LookOf(ProgramImage(size));
    // A wide strip: it covers a good part of its square without filling it.
    EXPECT_GT(look.Coverage, 0.3) << size;
    EXPECT_LT(look.Coverage, 0.7) << size;
    EXPECT_GT(look.Saturation, 60) << size;
  }
}

// The help document: well-formed markup with a title, self-contained, and
// every command of the menus and popups explained by its name.
class HelpDocument : public ::testing::Test {
protected:
  void SetUp() override {
    QFile file(QStringLiteral(VISTARIUM_SOURCE_DIR "/Help/Vistarium.html"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << "Help/Vistarium.html is missing";
    markup_ = QString::fromUtf8(file.readAll());
  }
  QString markup_;
};

TEST_F(HelpDocument, IsWellFormedWithATitle) {
  QXmlStreamReader xml(markup_);
  QString root, title;
  while (!xml.atEnd()) {
    xml.readNext();
    if (xml.isStartElement() && root.isEmpty()) root = xml.name().toString();
    if (xml.isStartElement() && xml.name() == QLatin1String("title")) title = xml.readElementText();
  }
  EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString() << " at line " << xml.lineNumber();
  EXPECT_EQ(root, "html");
  EXPECT_FALSE(title.trimmed().isEmpty());
  EXPECT_TRUE(markup_.trimmed().endsWith("</html>"));
}

TEST_F(HelpDocument, NeedsNothingFromOutside) {
  for (const char* reference : {"src=", "<link", "url(", "@import", "http:", "https:"})
    EXPECT_FALSE(markup_.contains(QLatin1String(reference), Qt::CaseInsensitive)) << reference;
}

TEST_F(HelpDocument, NamesEveryCommand) {
  for (const char* command :
       {"Make New Panorama", "Load Pictures", "Open Panorama", "Save Panorama", "Exit", "Full Size Picture",
        "Browse Panorama", "Join Pictures", "Manual Adjustment", "Stitch Manually", "Adjacent Pictures", "Camera",
        "Stitching Method", "Save Parameters", "OpenParameters", "Vistarium Help", "About", "Delete Picture",
        "Load Another Picture", "Adjust Left Connection", "Adjust Right Connection", "360 degrees panorama"})
    EXPECT_TRUE(markup_.contains(QLatin1String(command))) << command;
}

// Every image enabled and disabled at 24 pixels (also magnified four times)
// and at 48, then the program icon from 16 to 256 pixels (the three smallest
// also magnified), on a tool-bar grey.
QImage ContactSheet() {
  constexpr int cell = 104, margin = 8;
  QImage sheet(margin + kToolImageCount * cell + 200, 4 * cell + 280, QImage::Format_ARGB32);
  sheet.fill(QColor(0xef, 0xef, 0xef));
  QPainter p(&sheet);
  for (int i = 0; i < kToolImageCount; ++i) {
    const int x = margin + i * cell;
    for (int row = 0; row < 2; ++row) {
      const bool enabled = row == 0;
      const int y = margin + row * 2 * cell;
      p.drawPixmap(x, y, ToolImage(i, enabled, 24));
      p.drawPixmap(x + 32, y, ToolImage(i, enabled, 48));
      p.drawImage(QRect(x, y + 56, 96, 96), ToolImage(i, enabled, 24).toImage());
    }
  }
  int x = margin;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    p.drawPixmap(x, 4 * cell + 16, ProgramImage(size));
    x += size + 12;
  }
  for (int size : {16, 24, 32}) {
    p.drawImage(QRect(x, 4 * cell + 16, 4 * size, 4 * size), ProgramImage(size).toImage());
    x += 4 * size + 12;
  }
  return sheet;
}

}  // namespace
}  // namespace vistarium::desktop

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  for (int i = 1; i < argc; ++i) {
    const char* prefix = "--contact-sheet=";
    if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0)
      return vistarium::desktop::ContactSheet().save(QString::fromLocal8Bit(argv[i] + std::strlen(prefix))) ? 0 : 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
