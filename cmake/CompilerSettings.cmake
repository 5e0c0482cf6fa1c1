# Warnings, the GBK execution character set and sanitizers, applied to every target of the project.

if(MSVC)
  add_compile_options(/W4 /source-charset:utf-8 /execution-charset:.936)
  if(PELVARINE_WERROR)
    add_compile_options(/WX)
  endif()
else()
  add_compile_options(-Wall -Wextra)
  if(PELVARINE_WERROR)
    add_compile_options(-Werror)
  endif()
  # Every text the program shows, sends or compares is GBK; sources stay UTF-8. Clang has no other
  # execution character set, so its builds (the fuzz targets) see UTF-8 texts.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-finput-charset=UTF-8 -fexec-charset=GBK)
  endif()
endif()

if(PELVARINE_SANITIZE)
  add_compile_options(-fsanitize=${PELVARINE_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${PELVARINE_SANITIZE})
endif()

if(WIN32 AND NOT MSVC)
  # One self-contained executable: static C and C++ runtimes and winpthreads.
  add_link_options(-static -static-libgcc -static-libstdc++ $<$<CONFIG:Release>:-s>)
endif()
