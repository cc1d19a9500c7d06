# Lists every time-stamp instruction (RDTSC, RDTSCP) of an executable, for
# the stand-in's --time-stamp-faults (docs/ntsim.md): one line per
# instruction, its address as the disassembler shows it (from the load bias
# of a position-independent executable) and its bytes in hex.
#
#   cmake -DOBJDUMP=objdump -DEXECUTABLE=build/pelmar -DOUTPUT=build/pelmar.time-stamp-sites -P time-stamp-sites.cmake
foreach(variable OBJDUMP EXECUTABLE OUTPUT)
  if(NOT DEFINED ${variable} OR "${${variable}}" STREQUAL "")
    message(FATAL_ERROR "time-stamp-sites: ${variable} is not given")
  endif()
endforeach()

set(listing "${OUTPUT}.disassembly")
execute_process(COMMAND "${OBJDUMP}" -d --wide "${EXECUTABLE}"
                OUTPUT_FILE "${listing}" RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  file(REMOVE "${listing}")
  message(FATAL_ERROR "time-stamp-sites: ${OBJDUMP} -d ${EXECUTABLE} failed: ${errors}")
endif()
# "   e3c4:<tab>0f 31   <tab>rdtsc"
file(STRINGS "${listing}" lines REGEX "^ *[0-9a-f]+:\t[0-9a-f ]+\trdtscp?( |$)")
file(REMOVE "${listing}")

get_filename_component(name "${EXECUTABLE}" NAME)
set(text "# time-stamp instructions of ${name}: address from the load bias, bytes\n")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^ *([0-9a-f]+):\t([0-9a-f ]+)\t.*$" "\\1;\\2" fields "${line}")
  list(GET fields 0 address)
  list(GET fields 1 bytes)
  string(REPLACE " " "" bytes "${bytes}")
  string(APPEND text "${address} ${bytes}\n")
endforeach()
file(WRITE "${OUTPUT}.new" "${text}")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
