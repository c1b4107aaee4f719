#include "app/out_of_memory.h"

#include <algorithm>
#include <new>
#include <system_error>

#include "params/text_files.h"

namespace vistarium::app {

namespace {

std::string Millions(std::int64_t count) {
  const double millions = static_cast<double>(count) / 1e6;
  return params::FormatFixed(millions, 0, millions < 10.0 ? 1 : 0);
}

std::int64_t PicturePixels(const RunState& rs) {
  return static_cast<std::int64_t>(std::max(rs.Projection.PictureSize.X, 0)) *
         std::max(rs.Projection.PictureSize.Y, 0);
}

std::string PicturesText(const RunState& rs) {
  const int count = rs.PictureSet.Count;
  return std::to_string(count) + (count == 1 ? " picture of " : " pictures of ") +
         PictureMemoryText(PicturePixels(rs)) + (count == 1 ? "" : " each");
}

}  // namespace

std::string PictureMemoryText(std::int64_t pixels) {
  return Millions(pixels) + " MP (" + Millions(pixels * 4) + " MB)";
}

std::string NotEnoughMemory(std::string_view what, std::string_view hint) {
  return "not enough memory for " + std::string(what) + "; " + std::string(hint);
}

bool IsWantOfMemory(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::bad_alloc&) {
    return true;
  } catch (const std::system_error& e) {
    return e.code() == std::errc::resource_unavailable_try_again;
  } catch (...) {
    return false;
  }
}

std::string FindingMemoryUse(const RunState& rs) {
  if (PicturePixels(rs) == 0) return "matching the pictures";
  const int held = std::min(rs.PictureSet.Count, 2);
  return "matching " + PicturesText(rs) + ", " + std::to_string(held) + " of them held at once";
}

std::string ConstructionMemoryUse(const RunState& rs) {
  const std::int64_t panorama = static_cast<std::int64_t>(std::max(rs.Panorama.Width, 0)) *
                                std::max(rs.Panorama.Height, 0);
  if (panorama == 0) return "building the panorama from " + PicturesText(rs);
  return "the panorama of " + PictureMemoryText(panorama) + " and its " + PicturesText(rs);
}

}  // namespace vistarium::app
