# ICU's common library and zlib are linked statically, so that a launcher needs no more of
# its host than the C library. ICU's data library is not linked at all: the object library
# ormivane_icu_step defines ICU's file-mapping step and its common-data symbol instead.
#
# Defines the imported targets Ormivane::icu_uc and Ormivane::zlib.

find_package(ICU REQUIRED COMPONENTS uc)

# The archives themselves, under names of their own: a cache that still holds the shared
# libraries from an older configuration cannot bring them back.
find_library(ORMIVANE_ICU_UC_ARCHIVE NAMES libicuuc.a)
find_library(ORMIVANE_ZLIB_ARCHIVE NAMES libz.a)
if(NOT ORMIVANE_ICU_UC_ARCHIVE OR NOT ORMIVANE_ZLIB_ARCHIVE)
  message(FATAL_ERROR "the static libraries of ICU (libicuuc.a) and zlib (libz.a) were not found for "
                      "${ORMIVANE_ARCH}: run scripts/setup")
endif()

string(REGEX MATCH "^[0-9]+" ORMIVANE_ICU_MAJOR "${ICU_VERSION}")

# ICU's file-mapping step must be one archive member that defines the two functions the
# step object replaces and nothing else (beyond the i386 pc thunks, which are COMDAT).
# Another shape would either pull ICU's member in beside ours, a duplicate definition, or
# leave a part of it that nothing replaces.
function(ormivane_check_icu_step archive major)
  set(expected uprv_mapFile_${major} uprv_unmapFile_${major})
  set(work ${CMAKE_BINARY_DIR}/icu_step_check)
  file(REMOVE_RECURSE ${work})
  file(MAKE_DIRECTORY ${work})
  execute_process(COMMAND ${CMAKE_AR} t ${archive} OUTPUT_VARIABLE members RESULT_VARIABLE failed)
  string(REGEX MATCHALL "[^\n]*umapfile[^\n]*" step_members "${members}")
  list(LENGTH step_members count)
  if(failed OR NOT count EQUAL 1)
    message(FATAL_ERROR "${archive} does not hold ICU's file-mapping step as one member (umapfile): "
                        "the ICU data step cannot replace it")
  endif()
  execute_process(COMMAND ${CMAKE_AR} x ${archive} ${step_members} WORKING_DIRECTORY ${work}
                  RESULT_VARIABLE failed)
  execute_process(COMMAND ${CMAKE_NM} --defined-only -g ${work}/${step_members}
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_failed)
  file(REMOVE_RECURSE ${work})
  if(failed OR nm_failed)
    message(FATAL_ERROR "cannot read the member ${step_members} of ${archive}")
  endif()
  string(REGEX MATCHALL "[^ \n]+\n" names "${symbols}")
  set(defined)
  foreach(line IN LISTS names)
    string(STRIP "${line}" name)
    if(NOT name MATCHES "^__x86\\.get_pc_thunk\\.")
      list(APPEND defined ${name})
    endif()
  endforeach()
  list(SORT defined)
  list(SORT expected)
  if(NOT defined STREQUAL expected)
    message(FATAL_ERROR "ICU's file-mapping step in ${archive} defines '${defined}', not '${expected}': "
                        "the ICU data step (core/resources/icu_data_step.cpp) does not fit this ICU")
  endif()
endfunction()
ormivane_check_icu_step(${ORMIVANE_ICU_UC_ARCHIVE} ${ORMIVANE_ICU_MAJOR})

add_library(Ormivane::icu_uc STATIC IMPORTED)
set_target_properties(Ormivane::icu_uc PROPERTIES
  IMPORTED_LOCATION ${ORMIVANE_ICU_UC_ARCHIVE}
  INTERFACE_INCLUDE_DIRECTORIES "${ICU_INCLUDE_DIRS}"
  INTERFACE_LINK_LIBRARIES "Threads::Threads;${CMAKE_DL_LIBS};m")

add_library(Ormivane::zlib STATIC IMPORTED)
set_target_properties(Ormivane::zlib PROPERTIES IMPORTED_LOCATION ${ORMIVANE_ZLIB_ARCHIVE})
