# The unit's file and log parsers fed arbitrary bytes.
add_executable(fuzz_unit_files ${CMAKE_CURRENT_SOURCE_DIR}/unit_files_fuzz.cpp)
kelva_target_options(fuzz_unit_files)
target_compile_options(fuzz_unit_files PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(fuzz_unit_files PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(fuzz_unit_files PRIVATE kelva_unit)
