# File object throughput into the cache against plain pwrite on the same disk.
add_executable(file_object_bench ${CMAKE_CURRENT_LIST_DIR}/file_object_bench.cpp)
kelva_target_options(file_object_bench)
target_link_libraries(file_object_bench PRIVATE kelva_storage GTest::gtest)
