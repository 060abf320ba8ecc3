# Compiler flags of the fuzz build (-DTVR_FUZZ=ON, configured by scripts/fuzz).
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "TVR_FUZZ needs clang (configure with CC=clang CXX=clang++).")
endif()
# Undefined behaviour stops the run like a crash instead of printing and going on.
set(TVR_FUZZ_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all)
add_compile_options(-fsanitize=fuzzer-no-link ${TVR_FUZZ_SANITIZERS} -fno-omit-frame-pointer -g)
add_link_options(${TVR_FUZZ_SANITIZERS})
