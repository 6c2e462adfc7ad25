# Directory pack streams in their three encodings; the fuzz target's body
# replays a few inputs.
kelva_add_test(dir_pack_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/dir_pack_stream_test.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/dir_pack_fuzz.cpp
  LIBS kelva_storage ZLIB::ZLIB)
target_compile_definitions(dir_pack_tests PRIVATE KELVA_FUZZ_REPLAY=1)
