# Cache map throughput: inserts, lookups, save and load of a map with 1,000,000 entries.
add_executable(cachestore_bench ${CMAKE_CURRENT_LIST_DIR}/cachestore_bench.cpp)
kelva_target_options(cachestore_bench)
target_link_libraries(cachestore_bench PRIVATE kelva_storage)
