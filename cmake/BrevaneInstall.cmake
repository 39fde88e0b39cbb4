# Install helpers shared by the source folders.
#
# Components (each becomes one Debian package, see packaging/CMakeLists.txt):
#   Brevane      the programs, the outside-library stand-ins, udev rules,
#                desktop file, icons, man pages, bash completion
#   Runtime      libTavikAPI.so.N and the MPUSB library it loads by name
#   Development  tavikapi.h, libTavikAPI.so, tavikapi.pc, the example

# brevane_outside_library(<target> [COMPONENT <component>])
#
# Installs an outside-library stand-in (a shared library the families link or
# load by name, or a helper program such as the chassis server) into the
# private directory ${BREVANE_PRIVATE_DIR}. The installed programs and
# libTavikAPI find it there through their RUNPATH, so no LD_LIBRARY_PATH is
# needed; in the build tree everything sits in bin/ beside the programs.
# A stand-in added later needs only this one line in its CMakeLists.txt.
function(brevane_outside_library target)
  cmake_parse_arguments(ARG "" "COMPONENT" "" ${ARGN})
  if(NOT ARG_COMPONENT)
    set(ARG_COMPONENT Brevane)
  endif()
  # A stand-in may link another stand-in beside it.
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "\$ORIGIN")
  install(TARGETS ${target}
    LIBRARY DESTINATION ${BREVANE_PRIVATE_DIR} COMPONENT ${ARG_COMPONENT} NAMELINK_COMPONENT ${ARG_COMPONENT}
    RUNTIME DESTINATION ${BREVANE_PRIVATE_DIR} COMPONENT ${ARG_COMPONENT})
  set_property(GLOBAL APPEND PROPERTY BREVANE_OUTSIDE_TARGETS ${target})
endfunction()

# The same for a helper program of the stand-ins (the chassis server).
function(brevane_outside_program target)
  brevane_outside_library(${target} ${ARGN})
endfunction()
