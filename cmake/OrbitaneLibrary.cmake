# orbitane_library(<name> DEPS <targets...> MAY_INCLUDE <folders...> [FORBID <headers...>])
# Builds the static library orb_<name> from every .cpp of the calling
# folder (and its arch/ subfolder when present). The project root is the
# include root, so headers are included as "net/Message.h". The folder may
# include its own headers and those of the MAY_INCLUDE folders, nothing else
# (see orbitane_check_includes below); FORBID names headers of those
# folders it may still not include.
function(orbitane_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;MAY_INCLUDE;FORBID" ${ARGN})
  orbitane_check_includes(${name} ${CMAKE_CURRENT_SOURCE_DIR} ALLOWED ${name} ${ARG_MAY_INCLUDE}
                          FORBID ${ARG_FORBID})
  file(GLOB sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/arch/*.cpp)
  add_library(orb_${name} STATIC ${sources})
  target_include_directories(orb_${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(orb_${name} PUBLIC ${ARG_DEPS} Threads::Threads)
endfunction()

# orbitane_test(<name> DEPS <targets...>)
# One GoogleTest executable per test folder, every case registered in ctest.
function(orbitane_test name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(test_${name} ${sources})
  target_link_libraries(test_${name} PRIVATE ${ARG_DEPS} GTest::gtest_main GTest::gmock)
  gtest_discover_tests(test_${name} DISCOVERY_TIMEOUT 30
    PROPERTIES LABELS "${name}" ENVIRONMENT "ORBITANE_BIN_DIR=${PROJECT_BINARY_DIR}")
endfunction()

# orbitane_check_includes(<layer> <folder> ALLOWED <prefixes...> [EXCEPT <files...>] [FORBID <headers...>])
# Fails the configuration when a source or header of <folder> (not its
# subfolders) includes a project header outside the allowed folders, so an
# include that runs back up a layer never builds. A prefix names a folder
# ("net") or a subfolder ("net/arch"); "net" admits net/ but not net/arch/
# unless both are listed. A header listed in FORBID ("drv/QuindleBaseDrv.h")
# is refused whatever its folder.
function(orbitane_check_includes layer folder)
  cmake_parse_arguments(ARG "" "" "ALLOWED;EXCEPT;FORBID" ${ARGN})
  file(GLOB files ${folder}/*.h ${folder}/*.cpp)
  foreach(file ${files})
    get_filename_component(name ${file} NAME)
    if(name IN_LIST ARG_EXCEPT)
      continue()
    endif()
    file(STRINGS ${file} lines REGEX "^#include \"[a-z]+/")
    foreach(line ${lines})
      string(REGEX MATCH "\"([^\"]+)\"" quoted "${line}")
      if(CMAKE_MATCH_1 IN_LIST ARG_FORBID)
        file(RELATIVE_PATH shown ${PROJECT_SOURCE_DIR} ${file})
        message(FATAL_ERROR "${shown}: ${line}: the ${layer} layer makes its requests through the library, not ${CMAKE_MATCH_1}")
      endif()
      string(REGEX MATCH "\"([a-z]+)/([A-Za-z_]+/)?" match "${line}")
      set(top "${CMAKE_MATCH_1}")
      set(sub "${CMAKE_MATCH_2}")
      set(where "${top}")
      if(sub)
        string(REGEX REPLACE "/$" "" sub "${sub}")
        set(where "${top}/${sub}")
      endif()
      if(NOT where IN_LIST ARG_ALLOWED AND NOT (sub AND NOT sub STREQUAL "arch" AND top IN_LIST ARG_ALLOWED))
        file(RELATIVE_PATH shown ${PROJECT_SOURCE_DIR} ${file})
        message(FATAL_ERROR "${shown}: ${line}: the ${layer} layer may include only ${ARG_ALLOWED}")
      endif()
    endforeach()
  endforeach()
endfunction()
