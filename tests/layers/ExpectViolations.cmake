# Runs the layering check on the fixture tree, whose files break every rule
# once (and keep the rules elsewhere), and expects exactly those breaks: the
# includes, and a framework member defined by a family.
cmake_policy(VERSION 3.25)
execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${FIXTURE} -P ${CHECK}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc EQUAL 0)
  message(FATAL_ERROR "the check passed a tree that breaks the layering:\n${out}")
endif()
set(expected
  "base/Bad.h: base may not include platform"
  "platform/Dev.h: platform may not include framework"
  "tavikapi/src/Api.cpp: tavikapi may not include framework"
  "framework/Reg.h: framework may not include families"
  "framework/Reg.h: framework may not include Qt"
  "framework/Reg.h: framework may not include lab"
  "families/usb/Fam.h: families may not include lab"
  "families/usb/Fam.h: families may not include Qt"
  "cli/main.cpp: cli may not include Qt"
  "app/Win.cpp: app may not include lab"
  "families/Table.cpp: families defines Table::Rows, which framework declares")
foreach(line IN LISTS expected)
  string(FIND "${out}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "missing: ${line}\n${out}")
  endif()
endforeach()
string(REGEX MATCHALL "may not include|, which [a-z]+ declares" hits "${out}")
list(LENGTH hits n)
list(LENGTH expected want)
if(NOT n EQUAL want)
  message(FATAL_ERROR "expected ${want} violations, the check named ${n}:\n${out}")
endif()
