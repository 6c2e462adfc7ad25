# The LZNT1 decompressor and the directory pack reader fed arbitrary bytes.
foreach(target lznt1_fuzz dir_pack_fuzz)
  add_executable(${target} ${CMAKE_CURRENT_LIST_DIR}/${target}.cpp)
  kelva_target_options(${target})
  target_compile_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${target} PRIVATE kelva_storage)
endforeach()
# The codec lives in the platform library: let the fuzzer see its coverage.
target_compile_options(kelva_platform PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
