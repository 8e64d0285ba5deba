# Run by `cmake --install` (see CMakeLists.txt): writes the pkg-config files of the platform
# libraries for the prefix of this install and installs them, so that --prefix and DESTDIR are
# those given to the install, not to the configuration. C programs build against the libraries
# with `pkg-config --cflags --libs kep-zelkeplib` and the like; cross builds against a device's
# root file system set PKG_CONFIG_SYSROOT_DIR to it.
function(kep_pc module library description requires)
  set(prefix "${CMAKE_INSTALL_PREFIX}")
  foreach(kind libdir includedir)
    string(TOUPPER ${kind} upper)
    if(IS_ABSOLUTE "${KEP_PC_${upper}}")
      set(${kind} "${KEP_PC_${upper}}")
    else()
      set(${kind} "\${prefix}/${KEP_PC_${upper}}")
    endif()
  endforeach()
  if(requires)
    set(requires "Requires.private: ${requires}\n")
  endif()
  configure_file("${KEP_PC_TEMPLATE}" "${KEP_PC_BINARY_DIR}/${module}.pc" @ONLY)
  string(REPLACE "\${prefix}" "${prefix}" destination "${libdir}/pkgconfig")
  file(INSTALL DESTINATION "${destination}" TYPE FILE FILES "${KEP_PC_BINARY_DIR}/${module}.pc")
endfunction()

kep_pc(kep-zellog ZelLog "kep's logging library: each process's own log file" kep-dlog)
kep_pc(kep-dlog dlog "kep's debug log: one log for every process of the device" "")
kep_pc(kep-zelkeplib ZelKepLib
  "kep's support library: synchronisation and watchdog files, KepNotifyStarted() and the like" "")
kep_pc(kep-zelpathfind ZelPathfind "kep's path search library: an executable along a search path"
  "")
