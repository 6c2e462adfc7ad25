# Arbitrary bytes loaded as a cache map, then looked up and changed; and arbitrary
# bytes read as a resume container.
add_executable(cachemap_fuzz ${CMAKE_CURRENT_LIST_DIR}/cachemap_fuzz.cpp)
kelva_target_options(cachemap_fuzz)
target_compile_options(cachemap_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(cachemap_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(cachemap_fuzz PRIVATE kelva_storage)
# The library under test needs coverage feedback and the sanitizers as well.
target_compile_options(kelva_storage PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
