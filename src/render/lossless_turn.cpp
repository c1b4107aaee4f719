#include "render/lossless_turn.h"

#include <turbojpeg.h>

namespace vistarium::render {

JpegTurn UprightTurn(int orientation) {
  switch (orientation) {
    case 2: return JpegTurn::MirrorLeftRight;
    case 3: return JpegTurn::HalfTurn;
    case 4: return JpegTurn::MirrorTopBottom;
    case 5: return JpegTurn::Transpose;
    case 6: return JpegTurn::QuarterClockwise;
    case 7: return JpegTurn::Transverse;
    case 8: return JpegTurn::QuarterAnticlockwise;
    default: return JpegTurn::None;
  }
}

void TurnedJpeg::Free::operator()(unsigned char* p) const { tjFree(p); }

namespace {

int TurboOperation(JpegTurn turn) {
  switch (turn) {
    case JpegTurn::None: return TJXOP_NONE;
    case JpegTurn::MirrorLeftRight: return TJXOP_HFLIP;
    case JpegTurn::MirrorTopBottom: return TJXOP_VFLIP;
    case JpegTurn::Transpose: return TJXOP_TRANSPOSE;
    case JpegTurn::Transverse: return TJXOP_TRANSVERSE;
    case JpegTurn::QuarterClockwise: return TJXOP_ROT90;
    case JpegTurn::HalfTurn: return TJXOP_ROT180;
    case JpegTurn::QuarterAnticlockwise: return TJXOP_ROT270;
  }
  return TJXOP_NONE;
}

struct HandleCloser {
  void operator()(void* handle) const { tjDestroy(handle); }
};

}  // namespace

std::optional<TurnedJpeg> TurnJpegLosslessly(std::span<const std::uint8_t> stored, JpegTurn turn, bool keepMarkers) {
  if (stored.empty() || stored.size() > 0x7FFFFFFFu) return std::nullopt;
  const std::unique_ptr<void, HandleCloser> handle(tjInitTransform());
  if (!handle) return std::nullopt;
  tjtransform transform{};
  transform.op = TurboOperation(turn);
  // PERFECT: refuse rather than leave the partial blocks of an edge where
  // they were (or trim them off).
  transform.options = TJXOPT_PERFECT | (keepMarkers ? 0 : TJXOPT_COPYNONE);
  unsigned char* out = nullptr;  // TurboJPEG allocates and grows it
  unsigned long outSize = 0;
  // STOPONWARNING: damaged data is not turned into a picture with grey
  // blocks; LIMITSCANS: a progressive file of absurdly many scans is refused.
  const int failed = tjTransform(handle.get(), stored.data(), static_cast<unsigned long>(stored.size()), 1, &out,
                                 &outSize, &transform, TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS);
  TurnedJpeg turned;
  turned.data_.reset(out);  // freed on every way out, also after a failure
  if (failed != 0 || out == nullptr || outSize == 0) return std::nullopt;
  turned.size_ = outSize;
  return turned;
}

}  // namespace vistarium::render
