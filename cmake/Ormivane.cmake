# Build helpers shared by every folder: warnings, sanitizers, one library per folder, tests, programs.

set(ORMIVANE_WARNINGS -Wall -Wextra -Werror)

# Every compiled file names itself relative to the source root, so error records and
# traces never carry the build machine's absolute paths.
add_compile_options(${ORMIVANE_WARNINGS} "-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=")
include_directories(${CMAKE_SOURCE_DIR})

# 64-bit time and file offsets in every configuration, the 32-bit product included, so
# that files dated after January 2038 or larger than 2 GiB are stat'ed and set like any
# other. Every file of the build (GoogleTest's too) sees the same layouts; what the
# programs share with ICU and zlib uses neither time_t nor off_t.
add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)

if(ORMIVANE_SANITIZE)
  foreach(s IN LISTS ORMIVANE_SANITIZE)
    add_compile_options(-fsanitize=${s})
    if(NOT s STREQUAL "fuzzer-no-link")
      add_link_options(-fsanitize=${s})
    endif()
  endforeach()
  add_compile_options(-fno-omit-frame-pointer)
  if("undefined" IN_LIST ORMIVANE_SANITIZE)
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

define_property(GLOBAL PROPERTY ORMIVANE_LIBRARIES BRIEF_DOCS "platform libraries" FULL_DOCS "static libraries of the folders")

# ormivane_library(NAME SOURCES src... [USES lib...] [LINKS lib...] [INTERPOSE src...]
#                  [ICU_STEP src...] [REGISTER src...] [TESTING src...]): a static library
# from the sources it lists. USES names the libraries of the system it calls (their headers
# appear in its own), LINKS the outside ones (ICU, zlib, threads, dl); nothing else reaches
# it, so the graph of libraries points one way. Three kinds of sources must be in every
# program whether referenced or not, so they go into object libraries that ormivane_program
# links: INTERPOSE sources replace libc functions (ormivane_interpose); ICU_STEP sources
# take the place of a step inside ICU's static library, so that ICU's own member is never
# pulled in (ormivane_icu_step); REGISTER sources register a library's part with a lower
# one before main (ormivane_registrations). TESTING sources are the test seams of the
# library (the *_testing.h declarations): they go into ormivane_testing, which only the
# programs of the tests/ folders and the fuzz targets link, so the product holds none.
function(ormivane_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;USES;LINKS;INTERPOSE;ICU_STEP;REGISTER;TESTING")
  add_library(${name} STATIC ${arg_SOURCES})
  target_link_libraries(${name} PUBLIC ${arg_USES} PRIVATE ${arg_LINKS})
  set_property(GLOBAL APPEND PROPERTY ORMIVANE_LIBRARIES ${name})
  foreach(kind IN ITEMS INTERPOSE ICU_STEP REGISTER TESTING)
    if(NOT arg_${kind})
      continue()
    endif()
    string(TOLOWER ${kind} target)
    set(target ormivane_${target})
    if(kind STREQUAL "REGISTER")
      set(target ormivane_registrations)
    endif()
    if(NOT TARGET ${target})
      add_library(${target} OBJECT)
      if(NOT kind STREQUAL "TESTING")
        set_property(GLOBAL APPEND PROPERTY ORMIVANE_EVERY_PROGRAM ${target})
      endif()
    endif()
    target_sources(${target} PRIVATE ${arg_${kind}})
    target_link_libraries(${target} PUBLIC ${name} ${arg_LINKS})
  endforeach()
endfunction()

# After all library folders: the whole platform, for the programs. Each library brings
# what it uses; the objects that every program must hold are linked by ormivane_program.
function(ormivane_finish_platform)
  get_property(libs GLOBAL PROPERTY ORMIVANE_LIBRARIES)
  add_library(ormivane_platform INTERFACE)
  target_link_libraries(ormivane_platform INTERFACE ${libs})
endfunction()

# ormivane_link_every_program(NAME): the object libraries every program holds.
function(ormivane_link_every_program name)
  get_property(objects GLOBAL PROPERTY ORMIVANE_EVERY_PROGRAM)
  # An object library's objects reach only the targets that link it directly.
  target_link_libraries(${name} PRIVATE ${objects})
endfunction()

# ormivane_link_testing(NAME): the test seams of every library, for a test program, a
# helper program of a test or a fuzz target; never for a program of the product.
function(ormivane_link_testing name)
  if(TARGET ormivane_testing)
    target_link_libraries(${name} PRIVATE ormivane_testing)
  endif()
endfunction()

# ormivane_embed_catalog(NAME): after each link the program gets the catalog archive as
# its non-loaded ".zip" section, so it finds its messages the way the launcher does.
function(ormivane_embed_catalog name)
  get_target_property(done ${name} ORMIVANE_CATALOG_EMBEDDED)
  if(done)
    return()
  endif()
  set_target_properties(${name} PROPERTIES ORMIVANE_CATALOG_EMBEDDED ON)
  add_dependencies(${name} ormivane_catalog_archive)
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${ORMIVANE_CATALOG_ARCHIVE})
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --add-section .zip=${ORMIVANE_CATALOG_ARCHIVE}
            --set-section-flags .zip=noload,readonly $<TARGET_FILE:${name}>
    VERBATIM)
endfunction()

# ormivane_program(NAME src...): a program of the system, linked with the whole platform.
# The helper programs of tests (made in a tests/ folder) carry the test seams and the
# catalog like the tests.
function(ormivane_program name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE ormivane_platform)
  ormivane_link_every_program(${name})
  if(TARGET ormivane_sanitizer_options)
    target_link_libraries(${name} PRIVATE ormivane_sanitizer_options)
  endif()
  target_link_options(${name} PRIVATE -rdynamic)
  # The C++ runtime goes into the program, so a launcher needs only the C library of its
  # host. The sanitizer runtimes expect the shared C++ runtime, so those builds keep it.
  if(NOT ORMIVANE_SANITIZE)
    target_link_options(${name} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  if(CMAKE_CURRENT_SOURCE_DIR MATCHES "/tests$")
    ormivane_link_testing(${name})
    ormivane_embed_catalog(${name})
  endif()
endfunction()

# ormivane_test(NAME src...): the GoogleTest program of one folder's tests/. CTest runs each
# of its tests as a process of its own, so every test still meets the process-wide state
# (the archive, the catalog, the lock tables) at its first use.
function(ormivane_test name)
  ormivane_program(${name} ${ARGN})
  ormivane_embed_catalog(${name})
  target_link_libraries(${name} PRIVATE ormivane_gtest_main)
  target_compile_definitions(${name} PRIVATE ORMIVANE_TEST_BINARY_DIR="${CMAKE_BINARY_DIR}"
    ORMIVANE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "ORMIVANE_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()

# GoogleTest is built from the machine's sources so that one copy serves every
# configuration, the 32-bit ones included.
function(ormivane_add_googletest)
  set(gtest_src /usr/src/googletest)
  if(NOT EXISTS ${gtest_src}/CMakeLists.txt)
    message(FATAL_ERROR "googletest sources not found in ${gtest_src}: run scripts/setup")
  endif()
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(CMAKE_CXX_FLAGS_SAVED "${CMAKE_CXX_FLAGS}")
  add_subdirectory(${gtest_src} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(t gtest gtest_main gmock gmock_main)
    if(TARGET ${t})
      target_compile_options(${t} PRIVATE -Wno-error)
    endif()
  endforeach()
endfunction()
