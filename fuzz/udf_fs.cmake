# The UDF file system fed damaged volumes (mount, walk, read, check, write).
add_executable(fuzz_udf_fs ${CMAKE_CURRENT_SOURCE_DIR}/udf_fs_fuzz.cpp)
kelva_target_options(fuzz_udf_fs)
target_compile_options(fuzz_udf_fs PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(fuzz_udf_fs PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(fuzz_udf_fs PRIVATE kelva_udf kelva_platform_udf)
