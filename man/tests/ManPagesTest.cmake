# The manual pages against the programs: each long option of
# `QuelmarRecorder --help` and each command of quelmar-scsi's usage appears in
# its page (as roff writes it, "\-" for every "-").
#
# cmake -DRECORDER=... -DSCSI=... -DMAN_DIR=... -P ManPagesTest.cmake

# The words of `text` matching `pattern` (first group) that `page` lacks as
# roff writes them.
function(missing_in page text pattern out)
  file(READ ${MAN_DIR}/${page} roff)
  string(REPLACE "\\-" "-" roff "${roff}")
  string(REGEX MATCHALL "${pattern}" matches "${text}")
  set(missing)
  foreach(match ${matches})
    string(REGEX REPLACE "${pattern}" "\\1" word "${match}")
    string(REGEX MATCH "(^|[^a-z-])${word}([^a-z-]|$)" found "${roff}")
    if(NOT found)
      list(APPEND missing ${word})
    endif()
  endforeach()
  set(${out} "${missing}" PARENT_SCOPE)
endfunction()

execute_process(COMMAND ${RECORDER} --help RESULT_VARIABLE result OUTPUT_VARIABLE help ERROR_VARIABLE error)
if(NOT result EQUAL 0 OR NOT help MATCHES "--headless")
  message(FATAL_ERROR "QuelmarRecorder --help (${result}): ${help}${error}")
endif()
missing_in(QuelmarRecorder.1 "${help}" "(--[a-z][a-z-]*)" missing)
if(missing)
  message(FATAL_ERROR "QuelmarRecorder.1 lacks the options: ${missing}")
endif()

# The usage lists one command per line, indented, before its arguments.
execute_process(COMMAND ${SCSI} OUTPUT_VARIABLE usage ERROR_VARIABLE usage)
string(REGEX MATCHALL "\n  [a-z]+" commands "${usage}")
list(LENGTH commands count)
if(count LESS 5)
  message(FATAL_ERROR "no commands in quelmar-scsi's usage: ${usage}")
endif()
missing_in(quelmar-scsi.1 "${usage}" "\n  ([a-z]+)" missing)
if(missing)
  message(FATAL_ERROR "quelmar-scsi.1 lacks the commands: ${missing}")
endif()
