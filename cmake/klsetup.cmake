# Build helpers shared by every folder.

# Splits the .cpp files of DIR (non-recursive) into portable ones and the
# Windows-only ones ("*_win.cpp"). On non-Windows builds the latter are dropped.
function(kl_collect_sources dir out_portable out_win)
  file(GLOB _all CONFIGURE_DEPENDS "${dir}/*.cpp")
  set(_p "")
  set(_w "")
  foreach(_f IN LISTS _all)
    if(_f MATCHES "_win\\.cpp$")
      list(APPEND _w "${_f}")
    else()
      list(APPEND _p "${_f}")
    endif()
  endforeach()
  set(${out_portable} "${_p}" PARENT_SCOPE)
  set(${out_win} "${_w}" PARENT_SCOPE)
endfunction()

# The Windows libraries the product and its tests use.
set(KL_WIN_SYSTEM_LIBS shlwapi shell32 ole32 oleaut32 uuid comctl32 comdlg32 advapi32
    psapi imm32 version wininet gdiplus msimg32 gdi32 user32 kernel32)

# kl_add_gtest(NAME SOURCES ... [LIBS ...]): one GoogleTest program, its cases
# registered with ctest (discovered when ctest runs, so nothing runs Wine at
# build time). Windows programs link statically and run under Wine.
function(kl_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT T_SOURCES)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gtest_main gtest)
  target_compile_definitions(${name} PRIVATE KL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  if(WIN32)
    target_link_libraries(${name} PRIVATE ${KL_WIN_SYSTEM_LIBS})
  endif()
  if(KL_CAN_RUN_TESTS)
    if(WIN32)
      set(_label win64)
    else()
      set(_label host)
    endif()
    gtest_discover_tests(${name}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 120
      TEST_PREFIX "${_label}."
      PROPERTIES LABELS ${_label} TIMEOUT 180)
  endif()
endfunction()
