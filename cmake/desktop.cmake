# Compile options of the desktop program and its tests (not of the hub, which is UTF-8 throughout).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # Every text inside the program is GBK; literals in the UTF-8 sources become GBK bytes. GB18030 writes
  # every GBK character as GBK does and can also hold the few non-GBK characters in the C++ library's
  # own headers (the "µs" of <chrono>), which plain GBK refuses to compile.
  add_compile_options(-fexec-charset=GB18030)
endif()

if(WIN32)
  add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 NOMINMAX WIN32_LEAN_AND_MEAN)
  add_link_options(-static -static-libgcc -static-libstdc++)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "i686|x86$")
    # Money sums must be the same doubles as on x86-64: no x87 extended precision.
    add_compile_options(-msse2 -mfpmath=sse)
  endif()
endif()

