# Arbitrary bytes read as a history log chain, and as a directory object's
# resume records.
foreach(target history_fuzz dir_resume_fuzz)
  add_executable(${target} ${CMAKE_CURRENT_LIST_DIR}/${target}.cpp)
  kelva_target_options(${target})
  target_compile_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${target} PRIVATE kelva_storage)
endforeach()
