#include "app/workflow.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <stdexcept>

#include "geom/numbers.h"

namespace vistarium::app {

namespace {

struct StageRow {
  std::string_view Item;
  std::array<bool, kStageCount> Enabled;
};

constexpr bool E = true, _ = false;

// Stages:                      0  1  2  3  4  5  6
constexpr std::array kStageTable{
    StageRow{"mnuFile", {E, E, _, E, _, E, E}},
    StageRow{"mnuNewPanorama", {_, E, _, E, _, E, E}},
    StageRow{"mnuLoadPictures", {E, E, _, _, _, _, _}},
    StageRow{"mnuOpenPanorama", {E, _, _, _, _, _, E}},
    StageRow{"mnuSavePanorama", {_, _, _, _, _, E, _}},
    StageRow{"mnuExport360", {_, _, _, _, _, E, E}},
    StageRow{"mnuExit", {E, E, _, E, _, E, E}},
    StageRow{"mnuView", {_, _, _, _, _, E, E}},
    StageRow{"mnuViewFullSize", {_, _, _, _, _, E, E}},
    StageRow{"mnuViewBrowse", {_, _, _, _, _, E, E}},
    StageRow{"mnuTools", {_, E, _, E, _, E, _}},
    StageRow{"mnuJoin", {_, E, _, E, _, E, _}},
    StageRow{"mnuByHand", {_, E, _, _, _, _, _}},
    StageRow{"mnuAdjustment", {_, _, _, _, _, E, _}},
    StageRow{"mnuEditSet", {_, _, _, E, _, E, _}},
    StageRow{"mnuParameters", {E, E, _, E, _, E, E}},
    StageRow{"mnuParametersTwoPic", {E, E, _, E, _, E, E}},
    StageRow{"mnuParametersCamera", {E, E, _, E, _, E, E}},
    StageRow{"mnuParametersMethod", {E, E, _, E, _, E, E}},
    StageRow{"mnuSaveParameters", {E, E, _, E, _, E, E}},
    StageRow{"mnuOpenParameters", {E, E, _, E, _, E, E}},
    StageRow{"mnuHelp", {E, E, _, E, _, E, E}},
    StageRow{"mnuVistariumHelp", {E, E, _, E, _, E, E}},
    StageRow{"mnuAbout", {E, E, _, E, _, E, E}},
    StageRow{"chb360", {E, E, _, _, _, _, _}},
};

constexpr std::array<std::string_view, kStageTable.size()> ItemNames() {
  std::array<std::string_view, kStageTable.size()> names{};
  for (std::size_t i = 0; i < kStageTable.size(); ++i) names[i] = kStageTable[i].Item;
  return names;
}
constexpr auto kItemNames = ItemNames();

std::string Lowered(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

std::span<const std::string_view> StageTableItems() { return kItemNames; }

bool IsEnabledInStage(std::string_view item, WorkflowStage stage) {
  const auto s = static_cast<std::size_t>(stage);
  if (s >= kStageCount) throw std::invalid_argument("no such workflow stage");
  for (const StageRow& row : kStageTable)
    if (row.Item == item) return row.Enabled[s];
  throw std::invalid_argument("\"" + std::string(item) + "\" is not in the stage table");
}

StagePanels PanelsFor(WorkflowStage stage, bool manualStitching) {
  StagePanels p;
  p.PanoramaStrip = stage == WorkflowStage::PanoramaMade || stage == WorkflowStage::PanoramaOpened;
  p.ProgressPanel = (stage == WorkflowStage::Finding && !manualStitching) || stage == WorkflowStage::Constructing;
  p.LoadedName = stage == WorkflowStage::PanoramaOpened;
  return p;
}

WorkflowStage StageForPictureCount(int count) {
  return count < 2 ? WorkflowStage::NoPictures : WorkflowStage::PicturesLoaded;
}

ThumbnailGeometry ComputeThumbnailGeometry(int w, int h) {
  if (w <= 0 || h <= 0) throw std::invalid_argument("a picture without pixels has no thumbnail");
  ThumbnailGeometry g;
  if (w > h) {
    g.Width = kThumbnailBox;
    g.Height = Round(h * (static_cast<double>(kThumbnailBox) / w));
    g.Left = 0;
    g.Top = Round((kThumbnailBox - g.Height) / 2.0);
  } else {
    g.Height = kThumbnailBox;
    g.Width = Round(w * (static_cast<double>(kThumbnailBox) / h));
    g.Top = 0;
    g.Left = Round((kThumbnailBox - g.Width) / 2.0);
  }
  return g;
}

int DragSlotShift(int v) { return v >= 0 ? v / kThumbnailSlot : -1 - ((-v) / kThumbnailSlot); }

std::optional<int> DropTarget(int source, int x, int y, const ThumbnailGeometry& thumb, int pictureCount) {
  const int v = x + thumb.Left + 5;
  const int target = source + DragSlotShift(v);
  if (target < 0 || target > pictureCount - 1 || y < 0 || y > thumb.Height || target == source) return std::nullopt;
  return target;
}

std::vector<std::string> SortedPicturePaths(std::vector<std::string> paths) {
  std::stable_sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
    const std::string la = Lowered(a), lb = Lowered(b);
    return la != lb ? la < lb : a < b;
  });
  return paths;
}

std::string SizeMismatchMessage(const std::string& path) {
  return "Picture in file " + path + "\n\r" +
         "can't be used, because its size differ from the size of previously selected pictures.";
}

PreviewGeometry MadePanoramaPreview(int W, int H, int n) {
  if (W <= 0 || H <= 0 || n < 1) throw std::invalid_argument("no panorama to preview");
  PreviewGeometry g;
  g.Scale = std::min(125.0 / H, (110.0 * n - 20.0) / W);
  g.ImageWidth = Round(W * g.Scale);
  g.ImageHeight = Round(H * g.Scale);
  g.ImageLeft = 5;
  g.PanelHeight = 135;
  g.PanelWidth = g.ImageWidth + 10;
  g.ImageTop = Round((135 - g.ImageHeight) / 2.0);
  return g;
}

PreviewGeometry OpenedPanoramaPreview(int W, int H, int stripWidth) {
  if (W <= 0 || H <= 0) throw std::invalid_argument("no panorama to preview");
  PreviewGeometry g;
  g.PanelHeight = 115;
  g.PanelWidth = stripWidth - 10;
  g.Scale = std::min((115.0 - 10.0) / H, (g.PanelWidth - 10.0) / W);
  g.ImageWidth = Round(W * g.Scale);
  g.ImageHeight = Round(H * g.Scale);
  g.ImageTop = Round((115 - g.ImageHeight) / 2.0);
  g.ImageLeft = Round((g.PanelWidth - g.ImageWidth) / 2.0);
  return g;
}

PreviewGeometry GrownPanoramaPreview(int W, int H, int n, int visibleWidth, int extraWidth, int extraHeight) {
  PreviewGeometry g = MadePanoramaPreview(W, H, n);
  const double height = 125.0 + std::max(extraHeight, 0);
  const double width = std::min(110.0 * n - 20.0 + std::max(extraWidth, 0), visibleWidth - 20.0);
  g.Scale = std::max(std::min(height / H, width / W), 1e-6);
  g.ImageWidth = std::max(Round(W * g.Scale), 1);
  g.ImageHeight = std::max(Round(H * g.Scale), 1);
  // The panel keeps the starting height and grows only as far as the image does.
  g.PanelHeight = std::max(135, g.ImageHeight + 10);
  g.PanelWidth = g.ImageWidth + 10;
  g.ImageTop = Round((g.PanelHeight - g.ImageHeight) / 2.0);
  return g;
}

PreviewGeometry GrownOpenedPreview(int W, int H, int stripWidth, int extraHeight) {
  PreviewGeometry g = OpenedPanoramaPreview(W, H, stripWidth);
  g.PanelHeight = 115 + std::max(extraHeight, 0);
  g.Scale = std::min((g.PanelHeight - 10.0) / H, (g.PanelWidth - 10.0) / W);
  g.ImageWidth = Round(W * g.Scale);
  g.ImageHeight = Round(H * g.Scale);
  g.ImageTop = Round((g.PanelHeight - g.ImageHeight) / 2.0);
  g.ImageLeft = Round((g.PanelWidth - g.ImageWidth) / 2.0);
  return g;
}

Bitmap32 PreviewPixels(const Bitmap32& panorama, const PreviewGeometry& g) {
  Bitmap32 out;
  out.SetSize(std::max(g.ImageWidth, 0), std::max(g.ImageHeight, 0));
  std::fill(out.Pixels.begin(), out.Pixels.end(), 0xFF000000u);
  for (int i = 0; i < out.Width; ++i) {
    const int x = Round(i / g.Scale);
    if (x < 0 || x >= panorama.Width) continue;
    for (int j = 0; j < out.Height; ++j) {
      const int y = Round(j / g.Scale);
      if (y < 0 || y >= panorama.Height) continue;
      out.SetPixel(i, j, panorama.Pixel(x, y) | 0xFF000000u);
    }
  }
  return out;
}

ConnectionMenuState ConnectionMenuFor(int k, int n, bool is360) {
  return {k > 0 || (k == 0 && is360), k < n - 1 || (k == n - 1 && is360)};
}

std::pair<int, int> LeftConnectionPair(int k, int n) { return k == 0 ? std::pair{n - 1, 0} : std::pair{k - 1, k}; }

std::pair<int, int> RightConnectionPair(int k, int n) {
  return k == n - 1 ? std::pair{n - 1, 0} : std::pair{k, k + 1};
}

}  // namespace vistarium::app
