# Fails when ARCHIVE refers to any allocation function, or has code that runs
# before main (global constructors, guarded statics, exit-time destructors).
execute_process(COMMAND ${NM} -A ${ARCHIVE} OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_result)
if(NOT nm_result EQUAL 0 OR symbols STREQUAL "")
  message(FATAL_ERROR "could not list the symbols of ${ARCHIVE}")
endif()
set(forbidden
  " U (malloc|calloc|realloc|free|aligned_alloc|posix_memalign|memalign|valloc|strdup|strndup)$"
  " U (_Znwm|_Znam|_ZnwmRKSt9nothrow_t|_ZnamRKSt9nothrow_t|_ZnwmSt11align_val_t|_ZnamSt11align_val_t)$"
  " U _Zd[la]Pv"
  " U (__cxa_guard_acquire|__cxa_atexit|__cxa_allocate_exception)$"
  " [tT] _GLOBAL__sub_I_")
string(REPLACE "\n" ";" lines "${symbols}")
set(found "")
foreach(line IN LISTS lines)
  foreach(pattern IN LISTS forbidden)
    if(line MATCHES "${pattern}")
      list(APPEND found "${line}")
    endif()
  endforeach()
endforeach()
if(found)
  string(REPLACE ";" "\n  " report "${found}")
  message(FATAL_ERROR "heap use or start-up code in ${ARCHIVE}:\n  ${report}")
endif()
message(STATUS "${ARCHIVE}: no allocation, no start-up code")
