# Fails when a stub is too large for an archive appended to it to be found.
# Usage: cmake -DSTUB=<file> -DLIMIT=<bytes> -P check_stub_size.cmake
file(SIZE "${STUB}" size)
if(NOT size LESS LIMIT)
  message(FATAL_ERROR "${STUB} has ${size} bytes; an archive appended to it must start "
                      "below byte ${LIMIT}")
endif()
