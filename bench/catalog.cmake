# Directory catalog operations against the same statements run directly on SQLite.
add_executable(catalog_bench ${CMAKE_CURRENT_LIST_DIR}/catalog_bench.cpp)
kelva_target_options(catalog_bench)
target_link_libraries(catalog_bench PRIVATE kelva_storage)
