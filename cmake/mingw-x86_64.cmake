# The same program for 64-bit Windows. It is no product: it exists so that the
# end-to-end tests can run the real dialog under a 64-bit-only Wine, on machines
# whose kernel cannot run 32-bit processes.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PLOVEX_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
