# Fails when the binary FILE needs a shared library whose name matches one of
# FORBIDDEN ("|"-separated name stems, e.g. "Qt5Widgets|Qt5Gui"). After a
# build step the binary is removed on failure, so the next build fails again;
# with KEEP set (a test of the check itself) it stays.
#   cmake -DFILE=<binary> -DFORBIDDEN=<stems> [-DKEEP=1] -P WexoraCheckLinks.cmake
execute_process(COMMAND readelf -d "${FILE}" OUTPUT_VARIABLE dynamic RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "readelf could not read ${FILE}")
endif()
string(REPLACE "|" ";" stems "${FORBIDDEN}")
foreach(stem ${stems})
  string(REGEX MATCH "\\(NEEDED\\)[^\n]*lib${stem}[^\n]*" needed "${dynamic}")
  if(needed)
    if(NOT KEEP)
      file(REMOVE "${FILE}")
    endif()
    message(FATAL_ERROR "${FILE} must not link ${stem}: ${needed}")
  endif()
endforeach()
