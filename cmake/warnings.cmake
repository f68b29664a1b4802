# One warning and hardening policy, linked by every target of the project.
add_library(tw_warnings INTERFACE)
target_compile_options(tw_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wcast-qual
  -Wformat=2 -Wimplicit-fallthrough -Wold-style-cast -Wnull-dereference -Werror
  -fstack-protector-strong
  $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>
  # GCC 12 at -O3 (Release) reports overlapping copies inside std::string's
  # inlined appends that cannot happen (its bug 105329).
  $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict>)
# 64-bit time and file offsets on the 32-bit target too.
target_compile_definitions(tw_warnings INTERFACE _TIME_BITS=64 _FILE_OFFSET_BITS=64)
target_link_options(tw_warnings INTERFACE -Wl,-z,relro -Wl,-z,now)
