#include "render/sampling.h"

#include <stdexcept>

namespace vistarium::render {

ColorTriple ColorToTriple(PackedColor c) {
  if (c < 0 || c > 0xFFFFFF) throw std::out_of_range("Colour value outside 0..0xFFFFFF");
  const auto u = static_cast<std::uint32_t>(c);
  return {static_cast<std::uint8_t>(u >> 16), static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u)};
}

}  // namespace vistarium::render
