# Warnings, sanitizers and the Windows runtime linkage shared by every target.
add_compile_options(-Wall -Wextra -Wno-unused-parameter)
if(QX_WERROR)
  add_compile_options(-Werror)
endif()

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
