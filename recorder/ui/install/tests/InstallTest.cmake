# What `cmake --install --strip` puts in place, installed into a scratch root
# (DESTDIR, so nothing lands outside it): the commands in bin/ are relative
# links into the program folder, the programs there find their modules
# beside them and run, everything installed is stripped, the systemd unit
# starts the command in headless timer mode (its template per instance
# too), and the manual pages, the
# library's header, the desktop entry, the icon and the udev rule are in
# their places. With systemd-analyze at hand the unit is verified too.
#
# cmake -DBUILD_DIR=... -DWORK_DIR=... -DUDEV_RULES_DIR=... [-DSYSTEMD_ANALYZE=...] -P InstallTest.cmake
set(prefix /opt/quelmar-install-test)
set(root ${WORK_DIR}/root)
file(REMOVE_RECURSE ${WORK_DIR})

execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${root} ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --strip
  RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${error}")
endif()

function(expect_file path what)
  if(NOT EXISTS ${path} OR IS_DIRECTORY ${path})
    message(FATAL_ERROR "${what}: ${path} is not installed")
  endif()
endfunction()

# Runs an installed program with a scratch home and the simulated receiver;
# fails unless it ends with status 0 and its output matches `expected`.
function(expect_run expected)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env HOME=${WORK_DIR}/home XDG_CONFIG_HOME=${WORK_DIR}/home/config
      XDG_DATA_HOME=${WORK_DIR}/home/data QUELMAR_ASPI_LAYER=libaspi-virtual.so QUELMAR_VIRTUAL_STATE_DIR=off ${ARGN}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE error)
  if(NOT result EQUAL 0 OR NOT output MATCHES "${expected}")
    message(FATAL_ERROR "${ARGN} (${result}): ${output}${error}")
  endif()
endfunction()

# The commands: links relative to bin/ into the program folder.
set(program_dir ${prefix}/lib/quelmar-recorder)
foreach(command QuelmarRecorder quelmar-scsi)
  set(link ${root}${prefix}/bin/${command})
  if(NOT IS_SYMLINK ${link})
    message(FATAL_ERROR "${link} is not a link")
  endif()
  file(READ_SYMLINK ${link} target)
  if(NOT target STREQUAL "../lib/quelmar-recorder/${command}")
    message(FATAL_ERROR "${link} leads to ${target}, not into the program folder")
  endif()
endforeach()

# Run through their links from the scratch root, the programs find their
# siblings (the library, the simulated receiver's layer, the multiplexer).
expect_run("^QuelmarRecorder " ${root}${prefix}/bin/QuelmarRecorder --version)
expect_run("^0\t3\tQuelmar\t2.17\n" ${root}${prefix}/bin/quelmar-scsi list)
expect_run("libquelmarscsi.so found.*Quelmar found on host adapter 0, id 3.*libremuxer.so found"
  ${root}${prefix}/bin/QuelmarRecorder --headless --virtual-receiver)

# Every program and module is there and stripped: no symbol table, no
# debugging information.
find_program(READELF readelf REQUIRED)
foreach(file QuelmarRecorder quelmar-scsi halvane libquelmarscsi.so libwnaspi32.so libaspi-virtual.so
    libremuxer.so)
  expect_file(${root}${program_dir}/${file} "the program folder's ${file}")
  execute_process(COMMAND ${READELF} -S -W ${root}${program_dir}/${file} OUTPUT_VARIABLE sections)
  if(sections MATCHES "\\.symtab|\\.debug_info")
    message(FATAL_ERROR "${file} is installed unstripped")
  endif()
endforeach()

expect_file(${root}${prefix}/share/man/man1/QuelmarRecorder.1 "the program's manual page")
expect_file(${root}${prefix}/share/man/man1/quelmar-scsi.1 "quelmar-scsi's manual page")
expect_file(${root}${prefix}/share/man/man8/halvane.8 "halvane's manual page")
expect_file(${root}${prefix}/include/quelmarscsi.h "the library's header")
expect_file(${root}${prefix}/include/quelmarscsi_special.h "the special command codes' header")
expect_file(${root}${prefix}/share/icons/hicolor/scalable/apps/quelmar-recorder.svg "the icon")
expect_file(${root}${UDEV_RULES_DIR}/60-quelmar-receiver.rules "the udev rule")
set(desktop ${root}${prefix}/share/applications/quelmar-recorder.desktop)
expect_file(${desktop} "the desktop entry")
file(STRINGS ${desktop} exec REGEX "^Exec=")
if(NOT exec STREQUAL "Exec=${prefix}/bin/QuelmarRecorder")
  message(FATAL_ERROR "unexpected desktop entry ${exec}")
endif()

# The unit and its template for one instance per receiver, checked as an
# instance of it.
set(unit_dir ${root}${prefix}/lib/systemd/system)
set(units quelmar-recorder.service "quelmar-recorder@.service|quelmar-recorder@dish1.service")
set(expected_exec_start "ExecStart=${prefix}/bin/QuelmarRecorder --headless --timers --listen 127.0.0.1:8180"
  "ExecStart=${prefix}/bin/QuelmarRecorder --headless --timers --instance %i $RECEIVER_OPTIONS $REMOTE_OPTIONS")
foreach(entry expected IN ZIP_LISTS units expected_exec_start)
  string(REPLACE "|" ";" names "${entry}")
  list(GET names 0 name)
  list(GET names -1 checked_as)
  set(unit ${unit_dir}/${name})
  expect_file(${unit} "the systemd unit ${name}")
  file(STRINGS ${unit} exec_start REGEX "^ExecStart=")
  if(NOT exec_start STREQUAL expected)
    message(FATAL_ERROR "unexpected ${exec_start} in ${name}")
  endif()
  if(SYSTEMD_ANALYZE)
    # verify looks for ExecStart's program outside the scratch root: check a
    # copy that names it inside; the manual page of Documentation= it finds
    # through MANPATH. Unknown or bad settings are only warned about, so any
    # output fails.
    file(READ ${unit} text)
    string(REPLACE "ExecStart=${prefix}/" "ExecStart=${root}${prefix}/" text "${text}")
    file(WRITE ${WORK_DIR}/verify/${checked_as} "${text}")
    execute_process(COMMAND ${CMAKE_COMMAND} -E env MANPATH=${root}${prefix}/share/man
      ${SYSTEMD_ANALYZE} verify ${WORK_DIR}/verify/${checked_as}
      RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0 OR NOT output STREQUAL "")
      message(FATAL_ERROR "systemd-analyze verify ${checked_as} (${result}): ${output}")
    endif()
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
