kelva_add_test(catalog_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/catalog_db_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/catalog_directory_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/catalog_extent_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/catalog_structure_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/catalog_fuzz_replay_test.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/catalog_fuzz.cpp
  LIBS kelva_storage)
