# The metadata repair of write-once volumes fed damaged metadata.
add_executable(fuzz_udf_repair ${CMAKE_CURRENT_LIST_DIR}/udf_repair_fuzz.cpp)
kelva_target_options(fuzz_udf_repair)
target_compile_options(fuzz_udf_repair PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(fuzz_udf_repair PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(fuzz_udf_repair PRIVATE kelva_udf kelva_platform_udf)
