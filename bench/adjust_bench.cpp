// Adjustment window on two 24-megapixel pictures: how long opening a
// connection takes (decoding both files and drawing the triangles), moving a
// corner, and repainting what a large window shows. Prints its figures.
//
//   build/bin/adjust_bench [width height]

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPixmap>
#include <QScrollArea>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "desktop/adjust_window.h"
#include "desktop/services.h"
#include "geom/projection.h"
#include "render/picture_file.h"

namespace fs = std::filesystem;
using namespace vistarium;

namespace {

class QuietServices : public desktop::DesktopServices {
public:
  QStringList ChooseFilesToOpen(QWidget*, const QString&, const QString&, bool) override { return {}; }
  QString ChooseFileToSave(QWidget*, const QString&, const QString&) override { return {}; }
  void Inform(QWidget*, const QString&) override {}
  bool Ask(QWidget*, const QString&) override { return true; }
  Answer AskYesNoCancel(QWidget*, const QString&) override { return Answer::No; }
  void ReportError(QWidget*, const QString&) override {}
  bool OpenDocument(const QString&) override { return false; }
  double Now() override { return 0.0; }
};

std::string WritePicture(const fs::path& folder, const std::string& name, int w, int h, int seed) {
  DeviceBitmap b(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      b.SetPixel(x, y, ((x * 7 + seed) & 0xFF) | (((y * 5 + x / 3) & 0xFF) << 8) | (((x ^ y) & 0xFF) << 16));
  const std::vector<std::uint8_t> bytes = render::EncodeJpeg(b);
  const fs::path path = folder / name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
  return path.string();
}

double Ms(const QElapsedTimer& t) { return static_cast<double>(t.nsecsElapsed()) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  const int w = argc > 2 ? std::atoi(argv[1]) : 6000, h = argc > 2 ? std::atoi(argv[2]) : 4000;
  const fs::path folder = fs::temp_directory_path() / "vistarium-adjust-bench";
  fs::create_directories(folder);

  RunState rs;
  rs.PictureSet.FileNames = {WritePicture(folder, "a.jpg", w, h, 0), WritePicture(folder, "b.jpg", w, h, 90)};
  rs.PictureSet.Count = 2;
  geom::SetCameraProjection(rs.Projection, {w, h}, 28.0, 0.0);
  rs.Geometry.resize(2);
  rs.Geometry[0].RightConnection.ImagePoints = {{{w * 0.8, h * 0.1}, {w * 0.8, h * 0.9}, {w * 0.95, h * 0.5}}};
  rs.Geometry[1].LeftConnection.ImagePoints = {{{w * 0.1, h * 0.1}, {w * 0.1, h * 0.9}, {w * 0.25, h * 0.5}}};

  QuietServices services;
  desktop::TfrmAdjust window(services, rs);
  window.resize(1600, 1000);
  QElapsedTimer t;
  t.start();
  window.OpenConnection(0, 1);
  const double open = Ms(t);
  window.show();
  QApplication::processEvents();
  window.bbtnActualSizeClick();  // the drag below speaks in picture pixels

  // One corner dragged across the picture, by the window's own handlers.
  desktop::PictureImage* image = window.LeftImage;
  const TPoint from = window.Adjustment.LeftTriangle[2], to{w / 2, h / 2};
  t.restart();
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(from.X, from.Y), image->mapToGlobal(QPointF(from.X, from.Y)),
                    Qt::LeftButton, Qt::LeftButton, {});
  window.FormMouseDown(image, &press);
  window.sbLeft->ensureVisible(to.X, to.Y);
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(to.X, to.Y), image->mapToGlobal(QPointF(to.X, to.Y)),
                      Qt::LeftButton, Qt::NoButton, {});
  window.FormMouseUp(image, &release);
  const double move = Ms(t);
  const bool moved = window.Adjustment.LeftTriangle[2] == to;

  // What both boxes show, painted afresh.
  t.restart();
  constexpr int kPaints = 10;
  for (int i = 0; i < kPaints; ++i) {
    (void)window.sbLeft->viewport()->grab();
    (void)window.sbRight->viewport()->grab();
  }
  const double paint = Ms(t) / kPaints;

  std::printf("pictures %d x %d (%.1f MP each)\n", w, h, w * static_cast<double>(h) / 1e6);
  std::printf("open connection (decode both, draw triangles): %8.1f ms\n", open);
  std::printf("corner moved (erase, draw, update)%s:     %8.2f ms\n", moved ? "" : " NOT MOVED", move);
  std::printf("repaint of both boxes (%d x %d each):          %8.2f ms\n", window.sbLeft->viewport()->width(),
              window.sbLeft->viewport()->height(), paint);
  fs::remove_all(folder);
  return moved ? 0 : 1;
}
