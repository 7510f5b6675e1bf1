# Per-platform details of the brisvel library: what it is called and what it
# exports. Only the qv* interface leaves the library: on Windows through the
# header's QV_API (dllexport while BRISVEL_BUILDING), on ELF systems through a
# version script that also keeps the C++ template code the library
# instantiates from being exported as weak symbols.
include(CheckLinkerFlag)

if(WIN32)
  # brisvel.dll for every Windows toolchain; MinGW's import library keeps its
  # usual name, libbrisvel.dll.a, so -lbrisvel finds it.
  set_target_properties(brisvel PROPERTIES PREFIX "")
elseif(NOT APPLE)
  set(brisvel_version_script ${CMAKE_CURRENT_LIST_DIR}/brisvel.map)
  check_linker_flag(CXX "LINKER:--version-script=${brisvel_version_script}"
                    BRISVEL_HAVE_VERSION_SCRIPT)
  if(BRISVEL_HAVE_VERSION_SCRIPT)
    target_link_options(brisvel PRIVATE "LINKER:--version-script=${brisvel_version_script}")
    set_property(TARGET brisvel APPEND PROPERTY LINK_DEPENDS ${brisvel_version_script})
  endif()
endif()
