# ReadVolumeStructure and CloseIntegrity fed arbitrary disc sectors.
add_executable(fuzz_udf_volume ${CMAKE_CURRENT_SOURCE_DIR}/udf_volume_fuzz.cpp)
kelva_target_options(fuzz_udf_volume)
target_compile_options(fuzz_udf_volume PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(fuzz_udf_volume PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(fuzz_udf_volume PRIVATE kelva_udf)
