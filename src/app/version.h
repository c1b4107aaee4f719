#pragma once
// The program's version, shown by the About box and `vistarium-cli --version`.

#include <string_view>

namespace vistarium::app {

inline constexpr std::string_view kVersion = "1.07";

}  // namespace vistarium::app
