# The UDF file system on a rewritable disc held in memory: sequential write and
# read of a 1 GiB file, and creating 10,000 files in one folder.
add_executable(bench_udf_fs ${CMAKE_CURRENT_SOURCE_DIR}/udf_fs_bench.cpp)
kelva_target_options(bench_udf_fs)
target_link_libraries(bench_udf_fs PRIVATE kelva_udf kelva_platform_udf)
