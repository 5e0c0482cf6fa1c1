# pelvarine_man_page(TARGET SECTION SUMMARY [SEE_ALSO "a(1), b(5)"] [CONFIG_PAGE NAME.5])
# Makes TARGET's manual page at build time from its own --help output (packaging/help-to-man.cmake), gzipped
# as Debian wants, and installs it; CONFIG_PAGE also makes the configuration file's page from the same text.
include(GNUInstallDirs)

function(pelvarine_man_page target section summary)
  cmake_parse_arguments(ARG "" "SEE_ALSO;CONFIG_PAGE" "" ${ARGN})
  if(PELVARINE_SANITIZE OR PELVARINE_FUZZ)
    return()  # a test build, never installed: not worth running the instrumented program for
  endif()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/man)
  set(page ${dir}/${target}.${section})
  set(outputs ${page}.gz)
  set(pages ${page})
  set(config_args "")
  if(ARG_CONFIG_PAGE)
    list(APPEND outputs ${dir}/${ARG_CONFIG_PAGE}.gz)
    list(APPEND pages ${dir}/${ARG_CONFIG_PAGE})
    set(config_args -DOUT5=${dir}/${ARG_CONFIG_PAGE})
  endif()
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${target} --help > ${dir}/${target}.help
    COMMAND ${CMAKE_COMMAND} -DHELP=${dir}/${target}.help -DVERSION=${PROJECT_VERSION} -DPROGRAM=${target}
            -DSECTION=${section} -DSUMMARY=${summary} -DSEE_ALSO=${ARG_SEE_ALSO} -DOUT=${page} ${config_args}
            -P ${PROJECT_SOURCE_DIR}/packaging/help-to-man.cmake
    COMMAND gzip -9nf ${pages}
    DEPENDS ${target} ${PROJECT_SOURCE_DIR}/packaging/help-to-man.cmake
    COMMENT "Manual page of ${target} from its --help"
    VERBATIM)
  add_custom_target(${target}-man ALL DEPENDS ${outputs})
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  if(ARG_CONFIG_PAGE)
    string(REGEX MATCH "[0-9]$" config_section "${ARG_CONFIG_PAGE}")
    install(FILES ${dir}/${ARG_CONFIG_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${config_section})
  endif()
endfunction()
