# `cmake --install`: the program and its modules in one program folder
# (lib/quelmar-recorder, where each finds its siblings), a launcher in bin/,
# and the desktop entry with its icon; the systemd unit that runs the
# headless timer mode.
include(GNUInstallDirs)
set(QUELMAR_PROGRAM_DIR ${CMAKE_INSTALL_LIBDIR}/quelmar-recorder)
set(QUELMAR_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Where cmake --install puts quelmar-recorder.service, below the install prefix")

# The launcher, the desktop entry and the unit name full paths, so they are written
# when installing, for the prefix given then (cmake --install --prefix).
set(generated ${CMAKE_CURRENT_BINARY_DIR}/install)
install(CODE "
  set(QUELMAR_PROGRAM_DIR_FULL \"\${CMAKE_INSTALL_PREFIX}/${QUELMAR_PROGRAM_DIR}\")
  set(QUELMAR_LAUNCHER \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/QuelmarRecorder\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/QuelmarRecorder.in\" \"${generated}/QuelmarRecorder\" @ONLY)
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/quelmar-recorder.desktop.in\"
    \"${generated}/quelmar-recorder.desktop\" @ONLY)
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/quelmar-recorder.service.in\"
    \"${generated}/quelmar-recorder.service\" @ONLY)
")
install(PROGRAMS ${generated}/QuelmarRecorder DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${generated}/quelmar-recorder.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${generated}/quelmar-recorder.service DESTINATION ${QUELMAR_SYSTEMD_UNIT_DIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../artwork/quelmar-recorder.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The programs and modules are defined in other folders, some after this
# one: install them once every folder has been read.
set_property(GLOBAL PROPERTY QUELMAR_PROGRAM_DIR ${QUELMAR_PROGRAM_DIR})
function(quelmar_install_program_folder)
  get_property(program_dir GLOBAL PROPERTY QUELMAR_PROGRAM_DIR)
  foreach(target QuelmarRecorder halvane quelmar-scsi quelmarscsi wnaspi32 aspi-virtual remuxer)
    if(TARGET ${target})
      set_target_properties(${target} PROPERTIES INSTALL_RPATH "\$ORIGIN")
      install(TARGETS ${target}
        RUNTIME DESTINATION ${program_dir}
        LIBRARY DESTINATION ${program_dir})
    endif()
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL quelmar_install_program_folder)
