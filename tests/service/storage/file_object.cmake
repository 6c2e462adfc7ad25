# File objects against the volume double with in-memory discs; the resume-record
# fuzz body replays a small corpus.
kelva_add_test(file_object_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/file_object_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/file_resume_fuzz_replay_test.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/file_resume_fuzz.cpp
  LIBS kelva_storage)
target_compile_definitions(file_object_tests PRIVATE KELVA_FUZZ_REPLAY=1)
