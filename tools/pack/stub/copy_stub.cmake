# Keeps OUT equal to STUB, or empty when there is no stub; touches OUT only
# when its contents change, so the packer relinks only then.
if(STUB AND EXISTS "${STUB}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${STUB}" "${OUT}")
elseif(NOT EXISTS "${OUT}")
  file(WRITE "${OUT}" "")
else()
  file(SIZE "${OUT}" size)
  if(NOT size EQUAL 0)
    file(WRITE "${OUT}" "")
  endif()
endif()
