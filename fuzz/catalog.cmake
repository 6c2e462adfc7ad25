# Arbitrary bytes opened as a directory catalog.
add_executable(catalog_fuzz ${CMAKE_CURRENT_LIST_DIR}/catalog_fuzz.cpp)
kelva_target_options(catalog_fuzz)
target_compile_options(catalog_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(catalog_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(catalog_fuzz PRIVATE kelva_storage)
