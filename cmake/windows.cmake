# The Windows build: Plovex.exe from the core sources, the start-up code of
# platform/windows/ and the resources, for Windows 95 on a Pentium. No C
# runtime is linked: the imports are KERNEL32, USER32 and ADVAPI32 alone.
# Also builds the Wine test driver, an ordinary MinGW program.
enable_language(C RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The logo, the banner and the icon are drawn at build time, the same bytes every time.
set(PLOVEX_PICTURES ${CMAKE_BINARY_DIR}/res/logo.bmp ${CMAKE_BINARY_DIR}/res/banner.bmp
                    ${CMAKE_BINARY_DIR}/res/plovex.ico)
add_custom_command(
  OUTPUT ${PLOVEX_PICTURES}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/make-pictures.py ${CMAKE_BINARY_DIR}/res ${PROJECT_VERSION}
  DEPENDS ${CMAKE_SOURCE_DIR}/scripts/make-pictures.py ${CMAKE_SOURCE_DIR}/res/version.h
  COMMENT "Drawing the logo, the banner and the icon")
set_source_files_properties(res/plovex.rc PROPERTIES OBJECT_DEPENDS "${PLOVEX_PICTURES}")

add_executable(plovex WIN32 ${PLOVEX_CORE_SOURCES} platform/windows/startup.cpp res/plovex.rc)
set_target_properties(plovex PROPERTIES OUTPUT_NAME Plovex)
target_include_directories(plovex PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/res)
target_compile_definitions(plovex PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX)

# Code for a Pentium (no CMOV, MMX or SSE) with nothing that needs a runtime:
# no exceptions, no RTTI, no unwind tables, no stack protector.
set(PLOVEX_CXX_FLAGS -Os -Wall -Wextra -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-unwind-tables -fno-threadsafe-statics -fno-stack-protector -ffunction-sections)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  list(APPEND PLOVEX_CXX_FLAGS -march=pentium -mtune=pentium -mno-mmx -mno-sse -mno-sse2)
  set(PLOVEX_ENTRY _WinMainCRTStartup)
else()
  set(PLOVEX_ENTRY WinMainCRTStartup)
endif()
target_compile_options(plovex PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${PLOVEX_CXX_FLAGS}>)
# The memory helpers must stay loops, not calls to themselves.
set_source_files_properties(platform/windows/startup.cpp PROPERTIES
  COMPILE_OPTIONS "-ffreestanding;-fno-builtin;-fno-tree-loop-distribute-patterns")

# Windows 95 loads images that ask for subsystem and OS version 4.0.
target_link_options(plovex PRIVATE -nostdlib -s -Wl,--gc-sections -Wl,-e,${PLOVEX_ENTRY}
  -Wl,--subsystem,windows:4.0 -Wl,--major-os-version,4 -Wl,--minor-os-version,0
  -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0 -Wl,--no-insert-timestamp
  -Wl,-Map,${CMAKE_BINARY_DIR}/Plovex.map)
# libgcc only for helpers the compiler may call (stack probes, 64-bit division).
target_link_libraries(plovex PRIVATE kernel32 user32 advapi32 gcc)

# The Wine test driver: finds the dialog and its message boxes and answers them.
add_executable(plovex-driver tests/wine/driver.cpp)
target_compile_options(plovex-driver PRIVATE -O2 -Wall -Wextra)
target_include_directories(plovex-driver PRIVATE ${CMAKE_SOURCE_DIR})
target_link_options(plovex-driver PRIVATE -s -static -static-libgcc -static-libstdc++)
target_link_libraries(plovex-driver PRIVATE user32 gdi32 kernel32)

# The release media of the 32-bit program (build-win/media/): a ZIP, a 1.44 MB
# floppy image and a CD image, each with PLOVEX.EXE and README.TXT, the same
# bytes on every build of a commit. Made on request (cmake --build build-win
# --target media), every time anew, so that the file times follow the commit.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_custom_target(media
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/make-media.py ${CMAKE_BINARY_DIR}/media
            $<TARGET_FILE:plovex> ${CMAKE_SOURCE_DIR}/docs/README.TXT ${PROJECT_VERSION} ${CMAKE_SOURCE_DIR}
    DEPENDS plovex
    COMMENT "Making the ZIP, floppy and CD images in ${CMAKE_BINARY_DIR}/media"
    VERBATIM)
endif()
