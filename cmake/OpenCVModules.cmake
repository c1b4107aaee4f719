# OpenCV's core, image processing and feature modules, as the one interface
# target vistarium_opencv. Debian ships OpenCV's CMake package file only with
# libopencv-dev, which pulls in every module (VTK, GDAL, MPI and more); the
# per-module packages hold the headers and libraries, so they are found here
# directly.
if(NOT TARGET vistarium_opencv)
  find_path(VISTARIUM_OPENCV_INCLUDE_DIR opencv2/features2d.hpp PATH_SUFFIXES opencv4 REQUIRED)
  add_library(vistarium_opencv INTERFACE)
  target_include_directories(vistarium_opencv SYSTEM INTERFACE ${VISTARIUM_OPENCV_INCLUDE_DIR})
  foreach(module features2d imgproc core)
    find_library(VISTARIUM_OPENCV_${module} NAMES opencv_${module} REQUIRED)
    target_link_libraries(vistarium_opencv INTERFACE ${VISTARIUM_OPENCV_${module}})
  endforeach()
endif()
