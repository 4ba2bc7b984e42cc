# `cmake --install` (also what the Debian package ships, with the prefix
# /usr): the programs and modules in one program folder, lib/quelmar-recorder,
# where each finds its siblings through its own file (/proc/self/exe,
# dladdr); QuelmarRecorder and quelmar-scsi on the PATH as relative links in
# bin/ into that folder; the desktop entry with its icon; the systemd unit
# that runs the headless timer mode, and its template for one instance per
# receiver. `cmake --install --strip` strips the
# programs and modules.
# Not CMAKE_INSTALL_LIBDIR: the folder is private to the program and holds no
# library of the system's search path.
set(QUELMAR_PROGRAM_DIR lib/quelmar-recorder)
set(QUELMAR_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Where cmake --install puts quelmar-recorder.service, below the install prefix")

# The desktop entry and the unit name the command by its full path, so they
# are written when installing, for the prefix given then (cmake --install
# --prefix).
set(generated ${CMAKE_CURRENT_BINARY_DIR}/install)
install(CODE "
  set(QUELMAR_COMMAND \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/QuelmarRecorder\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/quelmar-recorder.desktop.in\"
    \"${generated}/quelmar-recorder.desktop\" @ONLY)
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/quelmar-recorder.service.in\"
    \"${generated}/quelmar-recorder.service\" @ONLY)
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/quelmar-recorder@.service.in\"
    \"${generated}/quelmar-recorder@.service\" @ONLY)
")
install(FILES ${generated}/quelmar-recorder.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${generated}/quelmar-recorder.service ${generated}/quelmar-recorder@.service
  DESTINATION ${QUELMAR_SYSTEMD_UNIT_DIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../artwork/quelmar-recorder.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The commands on the PATH: links relative to bin/, so that an installed tree
# works wherever it is unpacked. Both bin/ and the program folder lie below
# the same prefix.
file(RELATIVE_PATH to_program_dir /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${QUELMAR_PROGRAM_DIR})
file(MAKE_DIRECTORY ${generated}/links)
foreach(command QuelmarRecorder quelmar-scsi)
  file(CREATE_LINK ${to_program_dir}/${command} ${generated}/links/${command} SYMBOLIC)
  install(FILES ${generated}/links/${command} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

# The programs and modules are defined in other folders, some after this
# one: install them once every folder has been read. Their RUNPATH goes: none
# of them links another, each sibling is loaded by its full path.
set_property(GLOBAL PROPERTY QUELMAR_PROGRAM_DIR ${QUELMAR_PROGRAM_DIR})
function(quelmar_install_program_folder)
  get_property(program_dir GLOBAL PROPERTY QUELMAR_PROGRAM_DIR)
  foreach(target ${QUELMAR_PROGRAM_TARGETS})
    if(TARGET ${target})
      install(TARGETS ${target}
        RUNTIME DESTINATION ${program_dir}
        LIBRARY DESTINATION ${program_dir})
    endif()
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL quelmar_install_program_folder)
