# What `make install` (cmake --install) puts where, by GNU conventions:
# the programs, the plug-in, the library's public headers and static
# libraries with a pkg-config file, the man pages and the bash completion.
include(GNUInstallDirs)

install(TARGETS kelbrin ostrel fennick ostrel-admin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The server is a daemon, for the administrator: sbin.
install(TARGETS ostreld RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

if(TARGET grevolt)
  install(TARGETS grevolt LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/grevolt)
  install(TARGETS grevolt-probe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The library, in link order (each needs only those after it).
set(OSTREL_LIBRARIES ostrel_client ostrel_ra ostrel_delta ostrel_repos ostrel_fs ostrel_subr)
install(TARGETS ${OSTREL_LIBRARIES} ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
file(GLOB OSTREL_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/ostrel/include/ostrel_*.h)
install(FILES ${OSTREL_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ostrel)

set(OSTREL_PC_LIBS "")
foreach(lib ${OSTREL_LIBRARIES})
  string(APPEND OSTREL_PC_LIBS " -l${lib}")
endforeach()
# The prefix is the one of the install run (cmake --install --prefix may
# differ from the configured one), so the file is made at install time.
install(CODE "
  set(OSTREL_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(OSTREL_PC_LIBS \"${OSTREL_PC_LIBS}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/ostrel.pc.in\" \"${CMAKE_BINARY_DIR}/ostrel.pc\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/ostrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

foreach(tool kelbrin ostrel ostrel-admin ostreld)
  install(FILES ${PROJECT_SOURCE_DIR}/contrib/completion/${tool}.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${tool})
endforeach()
