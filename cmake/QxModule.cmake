# qx_add_module(<name> EXPORTS <list file>... SOURCES ... [LIBS ...])
#
# Builds a deliverable shared library under the file name the system loads it
# by: <name>.dll on Windows, <name>.so on Linux (no "lib" prefix; the module
# loader in platform/ applies the same rule).  The export list is written once,
# one symbol per line; a .def file (Windows) and an ELF version script are
# generated from it, and a test compares the list with the built library.
# Several list files may be given (one per part of a large library).
function(qx_generate_export_files name list_files out_def out_map)
  set(lines "")
  foreach(f IN LISTS list_files)
    file(STRINGS ${f} part)
    list(APPEND lines ${part})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${f})
  endforeach()
  set(def "LIBRARY ${name}\nEXPORTS\n")
  set(map "{\n  global:\n")
  foreach(l IN LISTS lines)
    string(STRIP "${l}" l)
    if(l STREQUAL "" OR l MATCHES "^#")
      continue()
    endif()
    string(APPEND def "    ${l}\n")
    string(APPEND map "    ${l};\n")
  endforeach()
  if(map STREQUAL "{\n  global:\n")
    set(map "{\n")  # nothing exported yet
  endif()
  string(APPEND map "  local:\n    *;\n};\n")
  file(WRITE ${out_def} "${def}")
  file(WRITE ${out_map} "${map}")
endfunction()

function(qx_add_module name)
  cmake_parse_arguments(A "" "" "EXPORTS;SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${A_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name})
  if(WIN32)
    set_target_properties(${name} PROPERTIES SUFFIX ".dll" IMPORT_PREFIX "" IMPORT_SUFFIX ".dll.a")
  else()
    set_target_properties(${name} PROPERTIES SUFFIX ".so")
  endif()
  if(A_LIBS)
    target_link_libraries(${name} PRIVATE ${A_LIBS})
  endif()
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_compile_definitions(${name} PRIVATE QX_BUILDING_MODULE)
  if(A_EXPORTS)
    set(list_files "")
    foreach(f IN LISTS A_EXPORTS)
      get_filename_component(f ${f} ABSOLUTE)
      list(APPEND list_files ${f})
    endforeach()
    set(def ${CMAKE_CURRENT_BINARY_DIR}/${name}.def)
    set(map ${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
    qx_generate_export_files(${name} "${list_files}" ${def} ${map})
    string(REPLACE ";" "|" list_arg "${list_files}")
    if(WIN32)
      # Only the .def file decides; never fall back to exporting everything.
      target_sources(${name} PRIVATE ${def})
      target_link_options(${name} PRIVATE -Wl,--exclude-all-symbols)
    else()
      target_link_options(${name} PRIVATE -Wl,--version-script=${map})
      set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${map})
    endif()
    if(QX_BUILD_TESTS)
      add_test(NAME ${name}.exports
               COMMAND ${CMAKE_COMMAND}
                 -DLIBRARY=$<TARGET_FILE:${name}> "-DLIST=${list_arg}"
                 -DWINDOWS=${WIN32} -DOBJDUMP=${CMAKE_OBJDUMP} -DNM=${CMAKE_NM}
                 -P ${CMAKE_SOURCE_DIR}/cmake/CheckExports.cmake)
    endif()
  endif()
endfunction()
