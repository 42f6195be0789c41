# cmake -DOBJDUMP=... -DOBJECTS=a.obj;b.obj -P check_sse_arithmetic.cmake
# 32-bit x86: the objects do their floating-point arithmetic in SSE, never
# in the x87 unit, whose extended precision would change results. The ABI
# still returns float values in an x87 register, so plain loads, stores and
# register exchanges are allowed; they do not round.
cmake_minimum_required(VERSION 3.25)
set(x87_arithmetic
  "f(i?add|i?sub|i?subr|i?mul|i?div|i?divr)(p|[slq])?|fsqrt|fprem1?|frndint|fscale|fsin|fcos|fsincos"
  "|fptan|fpatan|f2xm1|fyl2x|fyl2xp1|fild[lsq]?|fistp?[lsq]?|fisttp[lsq]?")
string(JOIN "" x87_arithmetic ${x87_arithmetic})

set(problems "")
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${object}
    OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -d ${object} failed")
  endif()
  string(REPLACE "\n" ";" lines "${dump}")
  set(function "?")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-f]+ <(.*)>:$")
      set(function "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^ +[0-9a-f]+:\t(${x87_arithmetic})( |$)")
      string(APPEND problems "\n  ${object}: ${function}: ${CMAKE_MATCH_1}")
    endif()
  endforeach()
endforeach()
if(problems)
  message(FATAL_ERROR "x87 arithmetic:${problems}")
endif()
list(LENGTH OBJECTS count)
message(STATUS "${count} objects: no x87 arithmetic")
