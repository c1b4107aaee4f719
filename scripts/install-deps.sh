#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need, only those
# that are missing (so a machine that has them needs no network).
set -euo pipefail
packages=(
  cmake g++ make pkg-config        # build
  libjpeg62-turbo-dev              # JPEG decoding and encoding (libjpeg-turbo, IJG API)
  libturbojpeg0-dev                # lossless turning of pictures stored sideways (libjpeg-turbo, TurboJPEG API)
  libstb-dev                       # BMP decoding (stb_image)
  nlohmann-json3-dev               # JSON output of the command-line tool
  libeigen3-dev                    # small dense linear algebra (rotation fit of the orientations)
  libexiv2-dev                     # EXIF of the pictures (orientation, focal length); EXIF and XMP of saved panoramas and 360 photos
  qt6-base-dev                     # the desktop application (Qt 6 Widgets)
  libopencv-core-dev libopencv-imgproc-dev libopencv-features2d-dev  # feature search of the rescue (SIFT)
  libceres-dev                     # calibration of the camera on all connections together (robust least squares)
  liblensfun-dev                   # database of cameras: the crop factor of a camera whose EXIF gives no sensor size
  libgtest-dev libgmock-dev        # tests
  parallel                         # the test of the GNU parallel form of running many sets
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
