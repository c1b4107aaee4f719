# The fuzz targets, seeds in seeds/<name>/.
vistarium_add_fuzzer(fuzz_picture_decode fuzz_picture_decode.cpp)
vistarium_add_fuzzer(fuzz_parameter_file fuzz_parameter_file.cpp)
vistarium_add_fuzzer(fuzz_camera_list fuzz_camera_list.cpp)
