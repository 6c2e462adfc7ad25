# Cache store, cache maps, the reader/writer lock and the resume container. The
# fuzz targets' bodies are compiled in as well, to replay a small corpus.
kelva_add_test(cachestore_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/cache_map_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/cache_store_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/reentrant_rw_lock_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/resume_container_test.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/cachemap_fuzz.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/resume_fuzz.cpp
  LIBS kelva_storage)
target_compile_definitions(cachestore_tests PRIVATE KELVA_FUZZ_REPLAY=1)
