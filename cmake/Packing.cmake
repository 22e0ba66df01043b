# Packing a launcher: the payload list (packer/payload.list) read once, the header of the
# launcher's unpack list and rename table generated from it, and the step that writes
# the ZIP archive of the payload and puts it into a copy of the launcher as its
# non-loaded ".zip" section, so that the archive's end record closes the section.

set(ORMIVANE_FIXTURE_TOOL ${CMAKE_SOURCE_DIR}/tools/fixtures/make_archive.py)

# The real file of a compiler runtime library of the target architecture.
function(ormivane_runtime_library out name)
  separate_arguments(flags UNIX_COMMAND "${CMAKE_CXX_FLAGS}")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${flags} -print-file-name=${name}
                  OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed OR NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
    message(FATAL_ERROR "the compiler knows no ${name} for this architecture: run scripts/setup")
  endif()
  file(REAL_PATH "${found}" real)
  set(${out} ${real} PARENT_SCOPE)
endfunction()

# Reads a payload list into <prefix>_UNPACK (entry names in order), <prefix>_RENAMES
# (archive=file pairs), <prefix>_ENTRIES (archive names of everything packed, in order)
# and <prefix>_SOURCE_<name> for each of them.
function(ormivane_read_payload list prefix)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list})
  file(STRINGS ${list} lines)
  set(unpack)
  set(renames)
  set(entries)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    string(REGEX REPLACE "[ \t]+" ";" fields "${line}")
    list(GET fields 0 kind)
    list(GET fields 1 name)
    list(LENGTH fields count)
    if(kind STREQUAL "unpack" AND count EQUAL 3)
      list(GET fields 2 source)
      list(APPEND unpack ${name})
    elseif(kind STREQUAL "library" AND count EQUAL 4)
      list(GET fields 2 file)
      list(GET fields 3 source)
      list(APPEND unpack ${name})
      list(APPEND renames "${name}=${file}")
    elseif(kind STREQUAL "rename" AND count EQUAL 3)
      list(GET fields 2 file)
      list(APPEND renames "${name}=${file}")
      continue()
    elseif(kind STREQUAL "carry" AND count EQUAL 3)
      list(GET fields 2 source)
    else()
      message(FATAL_ERROR "${list}: cannot read the line '${line}'")
    endif()
    list(APPEND entries ${name})
    set(${prefix}_SOURCE_${name} ${source} PARENT_SCOPE)
  endforeach()
  set(${prefix}_UNPACK ${unpack} PARENT_SCOPE)
  set(${prefix}_RENAMES ${renames} PARENT_SCOPE)
  set(${prefix}_ENTRIES ${entries} PARENT_SCOPE)
endfunction()

# The header of the launcher's unpack list and rename table.
function(ormivane_payload_header list out)
  ormivane_read_payload(${list} payload)
  list(LENGTH payload_UNPACK unpackCount)
  list(LENGTH payload_RENAMES renameCount)
  if(NOT unpackCount EQUAL 14 OR NOT renameCount EQUAL 16)
    message(FATAL_ERROR "${list}: the launcher unpacks 14 entries and knows 16 library names "
                        "(found ${unpackCount} and ${renameCount})")
  endif()
  set(text "// Generated from packer/payload.list by cmake/Packing.cmake: edit the list instead.\n")
  string(APPEND text "#pragma once\n\nnamespace LoadFiles::Payload {\n\n")
  string(APPEND text "inline constexpr const char* kUnpackEntries[] = {\n")
  foreach(name IN LISTS payload_UNPACK)
    string(APPEND text "    \"${name}\",\n")
  endforeach()
  string(APPEND text "};\n\nstruct RenameRow {\n  const char* ArchiveName;\n  const char* FileName;\n};\n\n")
  string(APPEND text "inline constexpr RenameRow kRenameRows[] = {\n")
  foreach(row IN LISTS payload_RENAMES)
    string(REPLACE "=" ";" pair "${row}")
    list(GET pair 0 archive)
    list(GET pair 1 file)
    string(APPEND text "    {\"${archive}\", \"${file}\"},\n")
  endforeach()
  string(APPEND text "};\n\n}  // namespace LoadFiles::Payload\n")
  file(GENERATE OUTPUT ${out} CONTENT "${text}")
endfunction()

# The file behind a payload source.
function(ormivane_payload_file out source list_dir)
  if(source MATCHES "^target:(.+)$")
    set(file "$<TARGET_FILE:${CMAKE_MATCH_1}>")
  elseif(source MATCHES "^runtime:(.+)$")
    ormivane_runtime_library(file ${CMAKE_MATCH_1})
  elseif(source STREQUAL "catalog")
    set(file ${ORMIVANE_CATALOG})
  elseif(source MATCHES "^file:(.+)$")
    set(file ${list_dir}/${CMAKE_MATCH_1})
  else()
    message(FATAL_ERROR "unknown payload source '${source}'")
  endif()
  set(${out} "${file}" PARENT_SCOPE)
endfunction()

# ormivane_pack_launcher(TARGET name LAUNCHER program PAYLOAD list OUTPUT file): `name`
# builds OUTPUT, a copy of the launcher program carrying the payload's archive.
function(ormivane_pack_launcher)
  cmake_parse_arguments(PACK "" "TARGET;LAUNCHER;PAYLOAD;OUTPUT" "" ${ARGN})
  ormivane_read_payload(${PACK_PAYLOAD} payload)
  get_filename_component(listDir ${PACK_PAYLOAD} DIRECTORY)
  set(members)
  set(depends ${PACK_LAUNCHER} ormivane_catalog ${ORMIVANE_FIXTURE_TOOL} ${PACK_PAYLOAD})
  foreach(name IN LISTS payload_ENTRIES)
    set(source ${payload_SOURCE_${name}})
    ormivane_payload_file(file ${source} ${listDir})
    list(APPEND members "${name}=${file}")
    if(source MATCHES "^target:(.+)$")
      list(APPEND depends ${CMAKE_MATCH_1})
    else()
      list(APPEND depends ${file})
    endif()
  endforeach()
  get_filename_component(outDir ${PACK_OUTPUT} DIRECTORY)
  set(archive ${PACK_OUTPUT}.zip)
  add_custom_command(
    OUTPUT ${PACK_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${outDir}
    COMMAND ${Python3_EXECUTABLE} ${ORMIVANE_FIXTURE_TOOL} pack ${archive} ${members}
    COMMAND ${Python3_EXECUTABLE} ${ORMIVANE_FIXTURE_TOOL} embed $<TARGET_FILE:${PACK_LAUNCHER}> ${archive}
            ${PACK_OUTPUT} --objcopy ${CMAKE_OBJCOPY}
    COMMAND ${CMAKE_COMMAND} -E remove ${archive}
    DEPENDS ${depends}
    COMMENT "Packing ${PACK_LAUNCHER} with its payload into ${PACK_OUTPUT}"
    VERBATIM)
  add_custom_target(${PACK_TARGET} ALL DEPENDS ${PACK_OUTPUT})
endfunction()
