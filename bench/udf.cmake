# Time of "kelva-disctool format" on full-size discs (sparse images and magazine folders).
add_executable(udf_format_bench ${CMAKE_CURRENT_LIST_DIR}/udf_format_bench.cpp)
kelva_target_options(udf_format_bench)
target_link_libraries(udf_format_bench PRIVATE kelva_disctool)
