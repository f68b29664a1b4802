# Cross build for any 32-bit big-endian PowerPC board: every program static
# against musl, so that one file runs whatever C library the board has (or
# none).  The C library and a C++ library configured for it come from
# scripts/musl.sh, which makes them (in the board's cache, outside the
# checkout, linked as build-musl/sysroot) and then this
# build; the compilers are Debian's glibc cross toolchain, kept off its own
# headers and libraries.  Tests run under qemu-ppc, which needs no -L for a
# static program.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)

if(NOT TRAPWATCH_MUSL_SYSROOT)
  set(TRAPWATCH_MUSL_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../build-musl/sysroot)
endif()
get_filename_component(TRAPWATCH_MUSL_SYSROOT ${TRAPWATCH_MUSL_SYSROOT} ABSOLUTE)
set(TRAPWATCH_MUSL_SYSROOT ${TRAPWATCH_MUSL_SYSROOT} CACHE PATH "musl sysroot made by scripts/musl.sh")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TRAPWATCH_MUSL_SYSROOT)
set(tw_sysroot ${TRAPWATCH_MUSL_SYSROOT})
if(NOT EXISTS ${tw_sysroot}/lib/crt1.o)
  message(FATAL_ERROR "no musl sysroot in ${tw_sysroot}: run scripts/musl.sh")
endif()

# The compiler's own headers (stddef.h, altivec.h, ...) after musl's; the
# sysroot holds the C++ library's headers, musl's and the kernel's.
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE tw_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
# musl's long double is 64 bits on PowerPC; the compiler's default is 128.
set(tw_musl_flags "-mlong-double-64 -nostdinc -isystem ${tw_sysroot}/include -isystem ${tw_gcc_include}")
set(tw_cxx_include "-nostdinc++ -isystem ${tw_sysroot}/include/c++/12 -isystem ${tw_sysroot}/include/c++/12/powerpc-linux-musl")
# No exceptions or RTTI: nothing in the programs uses them, and they cost a
# board's flash.  Sections per function, so that the link keeps what is used.
set(tw_small "-ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_INIT "${tw_musl_flags} ${tw_small}")
set(CMAKE_CXX_FLAGS_INIT "${tw_cxx_include} ${tw_musl_flags} ${tw_small} -fno-exceptions -fno-rtti")
# musl's start files (-B) and libraries (-L) are found before the cross
# toolchain's glibc ones; the compiler's own (crtbegin, libgcc) stay.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -B${tw_sysroot}/lib/ -L${tw_sysroot}/lib -Wl,--gc-sections")
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-Os -DNDEBUG")

set(CMAKE_FIND_ROOT_PATH ${tw_sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc)
