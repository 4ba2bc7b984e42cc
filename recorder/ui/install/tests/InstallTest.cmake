# What `cmake --install` puts in place, installed into a scratch root
# (DESTDIR, so nothing lands outside it): the systemd unit starts the
# installed launcher in headless timer mode, the launcher starts the installed
# program, and that program runs. With systemd-analyze at hand the unit is
# verified too.
#
# cmake -DBUILD_DIR=... -DWORK_DIR=... [-DSYSTEMD_ANALYZE=...] -P InstallTest.cmake
set(prefix /opt/quelmar-install-test)
set(root ${WORK_DIR}/root)
file(REMOVE_RECURSE ${WORK_DIR})

execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${root} ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${error}")
endif()

function(expect_executable path what)
  execute_process(COMMAND test -f ${path} -a -x ${path} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} ${path} is not an installed executable")
  endif()
endfunction()

set(unit ${root}${prefix}/lib/systemd/system/quelmar-recorder.service)
if(NOT EXISTS ${unit})
  message(FATAL_ERROR "no unit at ${unit}")
endif()
file(STRINGS ${unit} exec_start REGEX "^ExecStart=")
if(NOT exec_start STREQUAL "ExecStart=${prefix}/bin/QuelmarRecorder --headless --timers")
  message(FATAL_ERROR "unexpected ${exec_start}")
endif()
expect_executable(${root}${prefix}/bin/QuelmarRecorder "the unit's ExecStart")

# The launcher's exec line names the program in the program folder.
file(STRINGS ${root}${prefix}/bin/QuelmarRecorder exec_line REGEX "^exec ")
if(NOT exec_line MATCHES "^exec \"([^\"]+)\" \"\\$@\"$")
  message(FATAL_ERROR "unexpected launcher line: ${exec_line}")
endif()
set(program ${CMAKE_MATCH_1})
if(NOT program STREQUAL "${prefix}/lib/quelmar-recorder/QuelmarRecorder"
   AND NOT program MATCHES "^${prefix}/lib/[^/]+/quelmar-recorder/QuelmarRecorder$")
  message(FATAL_ERROR "the launcher starts ${program}, not the program folder's QuelmarRecorder")
endif()
expect_executable(${root}${program} "the launcher's program")
execute_process(COMMAND ${root}${program} --version RESULT_VARIABLE result OUTPUT_VARIABLE version ERROR_VARIABLE error)
if(NOT result EQUAL 0 OR NOT version MATCHES "^QuelmarRecorder ")
  message(FATAL_ERROR "the installed program does not run (${result}): ${version}${error}")
endif()

if(SYSTEMD_ANALYZE)
  # verify looks for ExecStart's program outside the scratch root: check a
  # copy that names it inside. Unknown or bad settings are only warned about,
  # so any output fails.
  file(READ ${unit} text)
  string(REPLACE "ExecStart=${prefix}/" "ExecStart=${root}${prefix}/" text "${text}")
  file(WRITE ${WORK_DIR}/verify/quelmar-recorder.service "${text}")
  execute_process(COMMAND ${SYSTEMD_ANALYZE} verify ${WORK_DIR}/verify/quelmar-recorder.service
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0 OR NOT output STREQUAL "")
    message(FATAL_ERROR "systemd-analyze verify (${result}): ${output}")
  endif()
endif()
file(REMOVE_RECURSE ${WORK_DIR})
