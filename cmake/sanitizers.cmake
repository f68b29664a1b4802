# Sanitizer builds of the whole tree: TRAPWATCH_SANITIZE=address (ASan + UBSan),
# thread (TSan) or trap (UBSan that traps, the one that links on PowerPC).
if(TRAPWATCH_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(TRAPWATCH_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(TRAPWATCH_SANITIZE STREQUAL "trap")
  add_compile_options(-fsanitize=undefined -fsanitize-undefined-trap-on-error)
elseif(NOT TRAPWATCH_SANITIZE STREQUAL "")
  message(FATAL_ERROR "unknown TRAPWATCH_SANITIZE: ${TRAPWATCH_SANITIZE}")
endif()
