# The mount benchmark's programs: a plain FUSE passthrough (the baseline) and
# the workload run on every column; bench/fshost_bench.sh runs them.
pkg_check_modules(BENCH_FUSE3 REQUIRED IMPORTED_TARGET fuse3)
add_executable(bench_fuse_passthrough ${CMAKE_CURRENT_SOURCE_DIR}/fuse_passthrough.cpp)
kelva_target_options(bench_fuse_passthrough)
target_link_libraries(bench_fuse_passthrough PRIVATE PkgConfig::BENCH_FUSE3)
add_executable(bench_fs_workload ${CMAKE_CURRENT_SOURCE_DIR}/fs_workload.cpp)
kelva_target_options(bench_fs_workload)
