# Layering check: every #include of ours must point into a layer that the
# including file's layer may use. Run as
#   cmake -DROOT=<tree> -P cmake/CheckLayers.cmake
# It prints one line per offending include and fails when there is any.
# It also rejects a member of a class declared in a lower layer's header that
# is defined in a higher layer's source (a lower layer that would need the
# higher one at link time, a circle no include shows).
#
# The layers, lowest first (see the README's layout paragraph):
#   base       includes nothing of ours
#   platform   only base
#   outside    only base and platform
#   tavikapi   no framework, no family, no front end, no Qt, no lab
#   framework  no family, no front end, no Qt, no lab
#   families   no front end, no Qt, no lab
#   cli        no Qt, no Qt front end, no lab
#   app, widgets, bench   no lab
#   lab, tests  anything
cmake_policy(VERSION 3.25)
if(NOT ROOT)
  message(FATAL_ERROR "usage: cmake -DROOT=<source tree> -P CheckLayers.cmake")
endif()
get_filename_component(ROOT "${ROOT}" ABSOLUTE)

set(LAYERS base platform outside tavikapi framework families cli app widgets bench lab tests)
set(FRONT app widgets cli)

# Which layers each layer may include ("*" = any); QT_OK lists those allowed Qt.
set(MAY_base base)
set(MAY_platform base platform)
set(MAY_outside base platform outside)
set(MAY_tavikapi base platform tavikapi)
set(MAY_framework base platform tavikapi framework)
set(MAY_families base platform tavikapi framework families outside)
set(MAY_cli base platform tavikapi framework families outside cli)
set(MAY_app base platform tavikapi framework families outside cli app widgets)
set(MAY_widgets base platform framework widgets app)
set(MAY_bench base platform tavikapi framework families outside cli app widgets bench)
set(MAY_lab "*")
set(MAY_tests "*")
set(QT_OK app widgets tests bench lab)

set(violations 0)
foreach(layer IN LISTS LAYERS)
  if(NOT IS_DIRECTORY "${ROOT}/${layer}")
    continue()
  endif()
  file(GLOB_RECURSE sources RELATIVE "${ROOT}" "${ROOT}/${layer}/*.h" "${ROOT}/${layer}/*.hpp"
       "${ROOT}/${layer}/*.c" "${ROOT}/${layer}/*.cpp" "${ROOT}/${layer}/*.cc")
  # The fixture of the check's own test breaks the rules on purpose.
  list(FILTER sources EXCLUDE REGEX "^tests/layers/fixture/")
  foreach(src IN LISTS sources)
    file(STRINGS "${ROOT}/${src}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    get_filename_component(srcdir "${src}" DIRECTORY)
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*([<\"])([^>\"]*)[>\"].*$" "\\1;\\2" inc "${line}")
      list(GET inc 0 kind)
      list(GET inc 1 path)
      set(target "")
      if(kind STREQUAL "<")
        if(path MATCHES "^Q")
          set(target Qt)
        endif()
      else()
        string(REGEX MATCH "^[^/]+" head "${path}")
        if(head IN_LIST LAYERS AND EXISTS "${ROOT}/${path}")
          set(target "${head}")
        elseif(EXISTS "${ROOT}/${srcdir}/${path}")
          get_filename_component(resolved "${ROOT}/${srcdir}/${path}" ABSOLUTE)
          file(RELATIVE_PATH resolved "${ROOT}" "${resolved}")
          string(REGEX MATCH "^[^/]+" target "${resolved}")
        elseif(head IN_LIST LAYERS)
          set(target "${head}")
        endif()
      endif()
      if(target STREQUAL "")
        continue()
      endif()
      set(bad FALSE)
      if(target STREQUAL "Qt")
        if(NOT layer IN_LIST QT_OK)
          set(bad TRUE)
        endif()
      elseif(NOT MAY_${layer} STREQUAL "*" AND NOT target IN_LIST MAY_${layer})
        set(bad TRUE)
      endif()
      if(bad)
        message("${src}: ${layer} may not include ${target} (${path})")
        math(EXPR violations "${violations} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()

# Definitions: the classes each layer's headers declare (with a body, not a
# forward declaration), then every out-of-line member definition
# `Class::member(` at the start of a line of a source file.
foreach(layer IN LISTS LAYERS)
  if(NOT IS_DIRECTORY "${ROOT}/${layer}")
    continue()
  endif()
  file(GLOB_RECURSE headers RELATIVE "${ROOT}" "${ROOT}/${layer}/*.h" "${ROOT}/${layer}/*.hpp")
  list(FILTER headers EXCLUDE REGEX "^tests/layers/fixture/")
  foreach(h IN LISTS headers)
    file(STRINGS "${ROOT}/${h}" lines REGEX "^[ \t]*(class|struct)[ \t]+[A-Za-z_]")
    foreach(line IN LISTS lines)
      if(line MATCHES ";[ \t]*$")
        continue()
      endif()
      string(REGEX REPLACE "^[ \t]*(class|struct)[ \t]+([A-Za-z_][A-Za-z0-9_]*).*$" "\\2" name "${line}")
      if(NOT DEFINED CLASS_LAYER_${name})
        set(CLASS_LAYER_${name} "${layer}")
      endif()
    endforeach()
  endforeach()
endforeach()
foreach(layer IN LISTS LAYERS)
  if(NOT IS_DIRECTORY "${ROOT}/${layer}" OR MAY_${layer} STREQUAL "*")
    continue()
  endif()
  list(FIND LAYERS "${layer}" here)
  file(GLOB_RECURSE sources RELATIVE "${ROOT}" "${ROOT}/${layer}/*.c" "${ROOT}/${layer}/*.cpp"
       "${ROOT}/${layer}/*.cc")
  list(FILTER sources EXCLUDE REGEX "^tests/layers/fixture/")
  foreach(src IN LISTS sources)
    file(STRINGS "${ROOT}/${src}" lines REGEX "^[A-Za-z_~].*::~?[A-Za-z_][A-Za-z0-9_]*[ \t]*\\(")
    foreach(line IN LISTS lines)
      string(FIND "${line}" "(" paren)
      string(SUBSTRING "${line}" 0 ${paren} head)
      if(NOT head MATCHES "([A-Za-z_][A-Za-z0-9_]*)::(~?[A-Za-z_][A-Za-z0-9_]*)[ \t]*$")
        continue()
      endif()
      set(cls "${CMAKE_MATCH_1}")
      set(member "${CMAKE_MATCH_2}")
      if(NOT DEFINED CLASS_LAYER_${cls})
        continue()
      endif()
      list(FIND LAYERS "${CLASS_LAYER_${cls}}" owner)
      if(owner LESS here)
        message("${src}: ${layer} defines ${cls}::${member}, which ${CLASS_LAYER_${cls}} declares")
        math(EXPR violations "${violations} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations GREATER 0)
  message(FATAL_ERROR "${violations} layering violation(s)")
endif()
message("layers: every include respects the layering")
