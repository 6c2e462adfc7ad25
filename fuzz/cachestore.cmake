# Arbitrary bytes loaded as a cache map, then looked up and changed; and arbitrary
# bytes read as a resume container.
foreach(target cachemap_fuzz resume_fuzz)
  add_executable(${target} ${CMAKE_CURRENT_LIST_DIR}/${target}.cpp)
  kelva_target_options(${target})
  target_compile_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${target} PRIVATE kelva_storage)
endforeach()
# The library under test needs coverage feedback and the sanitizers as well.
target_compile_options(kelva_storage PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
