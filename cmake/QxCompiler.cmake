# Warnings, sanitizers and the Windows runtime linkage shared by every target.
add_compile_options(-Wall -Wextra -Wno-unused-parameter)
if(QX_WERROR)
  add_compile_options(-Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12's flow-based bounds warnings fire on inlined std::vector and
    # std::copy code that is correct; they are off, and the sanitizer builds
    # check the real bounds at run time.
    add_compile_options(-Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread -Wno-restrict)
  endif()
endif()
# -O2 rather than CMake's -O3 default for optimised builds.
string(REPLACE "-O3" "-O2" CMAKE_CXX_FLAGS_RELEASE "${CMAKE_CXX_FLAGS_RELEASE}")
string(REPLACE "-O3" "-O2" CMAKE_C_FLAGS_RELEASE "${CMAKE_C_FLAGS_RELEASE}")

if(WIN32)
  # Unicode-agnostic Win32 calls are spelled out (A/W) where it matters.
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  # Link the compiler runtime statically so that the modules carry no
  # dependency on the toolchain's DLLs (libstdc++, libgcc, winpthread).
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

if(QX_SANITIZE)
  add_compile_options(-fsanitize=${QX_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${QX_SANITIZE})
endif()
