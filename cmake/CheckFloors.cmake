cmake_minimum_required(VERSION 3.25)
# Each floor of the core includes only its own headers and those of the floors below
# it, so that it builds and links without anything above. Run as a test:
#   cmake -DSOURCE_DIR=<checkout> -P cmake/CheckFloors.cmake
# A floor missing here is not checked: add its line when adding a floor.
set(allowed_platform platform)
set(allowed_foundation platform foundation)
set(allowed_eq platform foundation eq)
set(allowed_drivers platform foundation drivers)
set(allowed_files platform foundation files codecs)

set(failures "")
foreach(floor IN ITEMS platform foundation eq drivers files)
  # Only the floor's own folder: src/platform/qt is the Qt adaptor above the core.
  file(GLOB sources ${SOURCE_DIR}/src/${floor}/*.h ${SOURCE_DIR}/src/${floor}/*.cpp)
  foreach(source IN LISTS sources)
    file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^\"]*)\".*" "\\1" header "${line}")
      string(REGEX MATCH "^[^/]+" top "${header}")
      set(sub "")
      if(header MATCHES "^platform/qt/")
        set(sub qt)
      endif()
      if(NOT top IN_LIST allowed_${floor} OR sub STREQUAL "qt" OR NOT header MATCHES "/")
        file(RELATIVE_PATH rel ${SOURCE_DIR} ${source})
        string(APPEND failures "  ${rel}: ${header}\n")
      endif()
    endforeach()
  endforeach()
endforeach()
if(failures)
  message(FATAL_ERROR "A floor of the core includes from above it:\n${failures}")
endif()
