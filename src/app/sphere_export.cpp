#include "app/sphere_export.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <numbers>
#include <stdexcept>

#include "geom/numbers.h"
#include "render/picture_file.h"
#include "render/sampling.h"

namespace vistarium::app {

namespace {

constexpr double kPi = std::numbers::pi;

void CheckSource(const SphereSource& s) {
  if (!(std::isfinite(s.AngleStep) && s.AngleStep > 0.0 && std::isfinite(s.PixelsPerRadian) &&
        s.PixelsPerRadian > 0.0 && std::isfinite(s.HorizonRow)))
    throw std::invalid_argument("The panorama's projection values cannot make a 360 photo");
}

// Columns of the panorama to a full turn: those of a full circle's picture,
// else what the angle step gives.
double ColumnsPerTurn(const SphereSource& s, int panoramaWidth) {
  return s.Is360 ? panoramaWidth : 2.0 * kPi / s.AngleStep;
}

// Panorama row (centres at whole numbers) of latitude `lat` radians.
double PanoramaRow(const SphereSource& s, double lat) { return s.HorizonRow - std::sin(lat) * s.PixelsPerRadian; }

// Latitude of the centre of row y of a full sphere `fullHeight` rows high.
double RowLatitude(int y, int fullHeight) { return kPi / 2.0 - (y + 0.5) * kPi / fullHeight; }

// The rows of a full sphere whose latitude the panorama holds.
bool RowInPanorama(const SphereSource& s, int height, int y, int fullHeight) {
  const double v = PanoramaRow(s, RowLatitude(y, fullHeight));
  return v >= -0.5 && v <= height - 0.5;
}

// Channels red, green, blue of a packed colour or of a display pixel.
struct PackedPixels {
  static void Rgb(std::uint32_t c, unsigned rgb[3]) {
    rgb[0] = c & 0xFFu;
    rgb[1] = (c >> 8) & 0xFFu;
    rgb[2] = (c >> 16) & 0xFFu;
  }
};
struct DisplayPixels {
  static void Rgb(std::uint32_t c, unsigned rgb[3]) {
    rgb[0] = (c >> 16) & 0xFFu;
    rgb[1] = (c >> 8) & 0xFFu;
    rgb[2] = c & 0xFFu;
  }
};

// The mean colour of one panorama row, red, green, blue.
template <typename Form>
std::array<std::uint8_t, 3> RowMean(const std::uint32_t* row, int width) {
  double sum[3] = {0, 0, 0};
  for (int x = 0; x < width; ++x) {
    unsigned c[3];
    Form::Rgb(row[x], c);
    for (int k = 0; k < 3; ++k) sum[k] += c[k];
  }
  return {render::RoundToByte(sum[0] / width), render::RoundToByte(sum[1] / width),
          render::RoundToByte(sum[2] / width)};
}

// One output column's two panorama columns and the weight of the second.
struct ColumnTap {
  int U0 = 0, U1 = 0;
  float W = 0.0f;
};

template <typename Form>
std::vector<std::uint8_t> Encode(const std::uint32_t* pixels, int width, int height, const SphereSource& source,
                                 const SphereTags& layout, std::vector<render::JpegSegment> segments,
                                 const ExportProgress& progress) {
  if (width <= 0 || height <= 0) throw std::invalid_argument("An empty panorama cannot make a 360 photo");
  CheckSource(source);
  // Output column X of the photo takes panorama column u: the photo's
  // columns cover the panorama's evenly, centre on centre.
  std::vector<ColumnTap> taps(static_cast<std::size_t>(layout.CroppedWidth));
  const double step = static_cast<double>(width) / layout.CroppedWidth;
  for (int x = 0; x < layout.CroppedWidth; ++x) {
    const double u = (x + 0.5) * step - 0.5;
    ColumnTap& t = taps[static_cast<std::size_t>(x)];
    if (source.Is360) {
      const double f = std::floor(u);
      t.U0 = ((static_cast<int>(f) % width) + width) % width;
      t.U1 = t.U0 + 1 == width ? 0 : t.U0 + 1;
      t.W = static_cast<float>(u - f);
    } else {
      const double c = std::clamp(u, 0.0, width - 1.0);
      t.U0 = static_cast<int>(std::floor(c));
      t.U1 = std::min(t.U0 + 1, width - 1);
      t.W = static_cast<float>(c - t.U0);
    }
  }
  const auto top = RowMean<Form>(pixels, width);
  const auto bottom = RowMean<Form>(pixels + static_cast<std::size_t>(height - 1) * width, width);
  segments.push_back(SphereXmpSegment(layout));

  // Rows are blended down the panorama first (two source rows into one row
  // of real channel values), then across: both loops run straight through
  // memory.
  auto fillRow = [&](int y, std::uint8_t* out, std::vector<float>& blended) {
    const int fullRow = layout.CroppedTop + y;
    const double v = PanoramaRow(source, RowLatitude(fullRow, layout.FullHeight));
    if (v < -0.5 || v > height - 0.5) {
      // Beyond the panorama: a plain cap of its edge row's mean colour.
      const auto& cap = v < 0.0 ? top : bottom;
      for (int x = 0; x < layout.CroppedWidth; ++x, out += 3) std::copy(cap.begin(), cap.end(), out);
      return;
    }
    const double c = std::clamp(v, 0.0, height - 1.0);
    const int v0 = static_cast<int>(std::floor(c)), v1 = std::min(v0 + 1, height - 1);
    const float wv = static_cast<float>(c - v0);
    const std::uint32_t* r0 = pixels + static_cast<std::size_t>(v0) * width;
    const std::uint32_t* r1 = pixels + static_cast<std::size_t>(v1) * width;
    if (layout.CroppedWidth == width) {
      // One photo column per panorama column: the blend down is the row.
      for (int u = 0; u < width; ++u) {
        unsigned a[3], b[3];
        Form::Rgb(r0[u], a);
        Form::Rgb(r1[u], b);
        for (int k = 0; k < 3; ++k)
          *out++ = render::RoundToByte(a[k] + wv * (static_cast<float>(b[k]) - static_cast<float>(a[k])));
      }
      return;
    }
    blended.resize(static_cast<std::size_t>(width) * 3u);
    float* m = blended.data();
    for (int u = 0; u < width; ++u, m += 3) {
      unsigned a[3], b[3];
      Form::Rgb(r0[u], a);
      Form::Rgb(r1[u], b);
      for (int k = 0; k < 3; ++k) m[k] = a[k] + wv * (static_cast<float>(b[k]) - static_cast<float>(a[k]));
    }
    for (const ColumnTap& t : taps) {
      const float* p = blended.data() + static_cast<std::size_t>(t.U0) * 3u;
      const float* q = blended.data() + static_cast<std::size_t>(t.U1) * 3u;
      for (int k = 0; k < 3; ++k) *out++ = render::RoundToByte(p[k] + t.W * (q[k] - p[k]));
    }
  };
  const int rows = layout.CroppedHeight;
  std::mutex reporting;
  int done = 0;
  return render::EncodeJpegBands(
      layout.CroppedWidth, rows, render::kDefaultJpegQuality, segments,
      [&](int first, int count, std::uint8_t* rgb) {
        // Bands come from the strips' threads; a row costs a fraction of its
        // encoding.
        if (progress && first % 256 == 0) {
          const std::lock_guard<std::mutex> lock(reporting);
          done += 256;
          progress(std::min(1.0, static_cast<double>(done) / rows));
        }
        std::vector<float> blended;
        const std::size_t stride = static_cast<std::size_t>(layout.CroppedWidth) * 3u;
        for (int k = 0; k < count; ++k) fillRow(first + k, rgb + static_cast<std::size_t>(k) * stride, blended);
      });
}

}  // namespace

SphereSource SphereSourceFor(const PanoramaTrailer& trailer, int height) {
  return {trailer.Is360, trailer.AngleStep, trailer.PixelsPerRadian,
          static_cast<double>(BrowsingHorizonRow(trailer, height))};
}

int DefaultSphereWidth(const SphereSource& source) {
  CheckSource(source);
  const double columns = 2.0 * kPi / source.AngleStep;
  if (!(columns < render::kMaxPictureSide)) throw std::invalid_argument("The 360 photo would be too wide for JPEG");
  return 2 * Round(columns / 2.0);
}

SphereTags SpherePhotoLayout(const SphereSource& source, int panoramaWidth, int panoramaHeight, int fullWidth) {
  CheckSource(source);
  if (panoramaWidth <= 0 || panoramaHeight <= 0) throw std::invalid_argument("An empty panorama cannot make a 360 photo");
  const bool defaultWidth = fullWidth == 0;
  if (defaultWidth) fullWidth = source.Is360 ? 2 * Round(panoramaWidth / 2.0) : DefaultSphereWidth(source);
  if (fullWidth < 4 || fullWidth % 2 != 0 || fullWidth > render::kMaxPictureSide)
    throw std::invalid_argument("The width of a 360 photo must be an even number of 4 to " +
                                std::to_string(render::kMaxPictureSide) + " pixels");
  SphereTags t;
  t.FullWidth = fullWidth;
  t.FullHeight = fullWidth / 2;
  if (source.Is360) {
    t.CroppedWidth = t.FullWidth;
    t.CroppedHeight = t.FullHeight;
    return t;
  }
  // At the default width a photo column is a panorama column (the even
  // width differs from a turn's columns by less than one column).
  const double turn = ColumnsPerTurn(source, panoramaWidth);
  t.CroppedWidth = std::clamp(defaultWidth ? panoramaWidth : Round(panoramaWidth * fullWidth / turn), 1, fullWidth);
  t.CroppedLeft = Round((fullWidth - t.CroppedWidth) / 2.0);
  int first = -1, last = -1;
  for (int y = 0; y < t.FullHeight; ++y)
    if (RowInPanorama(source, panoramaHeight, y, t.FullHeight)) {
      if (first < 0) first = y;
      last = y;
    }
  if (first < 0) {
    // Lower than one row of the sphere: the row nearest its horizon.
    first = last = std::clamp(Floor((kPi / 2.0) / kPi * t.FullHeight), 0, t.FullHeight - 1);
  }
  t.CroppedTop = first;
  t.CroppedHeight = last - first + 1;
  return t;
}

std::vector<std::uint8_t> EncodeSpherePhoto(const DeviceBitmap& panorama, const SphereSource& source,
                                            const SphereTags& layout, std::vector<render::JpegSegment> segments,
                                            const ExportProgress& progress) {
  if (panorama.Pixels.size() != CheckedPixelCount(panorama.Width, panorama.Height))
    throw std::invalid_argument("The panorama's pixels do not match its size");
  return Encode<PackedPixels>(reinterpret_cast<const std::uint32_t*>(panorama.Pixels.data()), panorama.Width,
                              panorama.Height, source, layout, std::move(segments), progress);
}

std::vector<std::uint8_t> EncodeSpherePhoto(const Bitmap32& panorama, const SphereSource& source,
                                            const SphereTags& layout, std::vector<render::JpegSegment> segments,
                                            const ExportProgress& progress) {
  if (panorama.Pixels.size() != CheckedPixelCount(panorama.Width, panorama.Height))
    throw std::invalid_argument("The panorama's pixels do not match its size");
  return Encode<DisplayPixels>(panorama.Pixels.data(), panorama.Width, panorama.Height, source, layout,
                               std::move(segments), progress);
}

SphereTags WriteSpherePhoto(const Bitmap32& panorama, const SphereSource& source, const std::string& output,
                            std::vector<render::JpegSegment> segments, int fullWidth, const ExportProgress& progress) {
  const SphereTags layout = SpherePhotoLayout(source, panorama.Width, panorama.Height, fullWidth);
  render::WriteFileAtomically(output, EncodeSpherePhoto(panorama, source, layout, std::move(segments), progress));
  return layout;
}

std::string NotExportableMessage(const std::string& path, const TrailerReading& trailer) {
  return "\"" + path + "\" cannot be exported as a 360 photo: " +
         (trailer.State == TrailerState::None
              ? std::string("it has no Vistarium panorama trailer")
              : std::string(kDamagedTrailerMessage) + " (" + trailer.Reason + ")");
}

SphereTags ExportSpherePhoto(const std::string& panoramaFile, const std::string& output, int fullWidth,
                             const ExportProgress& progress) {
  const TrailerReading trailer = ReadPanoramaTrailer(panoramaFile);
  if (trailer.State != TrailerState::Sound) throw std::runtime_error(NotExportableMessage(panoramaFile, trailer));
  const DeviceBitmap picture = render::LoadPictureFile(panoramaFile);
  const SphereSource source = SphereSourceFor(trailer.Values, picture.Height);
  const SphereTags layout = SpherePhotoLayout(source, picture.Width, picture.Height, fullWidth);
  std::vector<render::JpegSegment> segments;
  if (auto exif = CopiedExifSegment(panoramaFile, layout.CroppedWidth, layout.CroppedHeight))
    segments.push_back(std::move(*exif));
  const std::vector<std::uint8_t> bytes = EncodeSpherePhoto(picture, source, layout, std::move(segments), progress);
  render::WriteFileAtomically(output, bytes);
  if (progress) progress(1.0);
  return layout;
}

}  // namespace vistarium::app
