# One line per fuzz target: vistarium_add_fuzzer(name source), seeds in seeds/<name>/.
foreach(target fuzz_picture_decode fuzz_parameter_file fuzz_camera_list)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${target}.cpp)
    vistarium_add_fuzzer(${target} ${target}.cpp)
  endif()
endforeach()
