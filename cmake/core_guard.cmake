# The core library must never link Qt: the GUI is a thin shell over it, and the headless
# program and the tools use the core alone.
get_target_property(_core_libs kelvane_core LINK_LIBRARIES)
foreach(_lib IN LISTS _core_libs)
  if(_lib MATCHES "Qt")
    message(FATAL_ERROR "kelvane_core links ${_lib}; the core library must stay free of Qt")
  endif()
endforeach()
