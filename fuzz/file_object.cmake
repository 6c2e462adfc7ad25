# Arbitrary bytes as a file object's resume records.
add_executable(file_resume_fuzz ${CMAKE_CURRENT_LIST_DIR}/file_resume_fuzz.cpp)
kelva_target_options(file_resume_fuzz)
target_compile_options(file_resume_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(file_resume_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(file_resume_fuzz PRIVATE kelva_storage)
