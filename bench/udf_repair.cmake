# Time of the metadata repair's full-range searches on a 100 GB write-once image.
add_executable(udf_repair_bench ${CMAKE_CURRENT_LIST_DIR}/udf_repair_bench.cpp)
kelva_target_options(udf_repair_bench)
target_link_libraries(udf_repair_bench PRIVATE kelva_udf)
