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
    psapi imm32 version wininet gdiplus msimg32 bcrypt gdi32 user32 kernel32)

# The shipping setup runs elevated, possibly from a folder a user can write
# to: it imports statically only libraries the loader always takes from the
# system (known DLLs). These others are imported with delayed loading: the
# first call loads them, and the setup's hook (app/main_win.cpp) loads them by
# full path from the system folder.
set(KL_DELAY_LOADED_LIBS version msimg32 gdiplus bcrypt wininet)
set(KL_SETUP_SYSTEM_LIBS ${KL_WIN_SYSTEM_LIBS})
list(REMOVE_ITEM KL_SETUP_SYSTEM_LIBS ${KL_DELAY_LOADED_LIBS})

# kl_delay_import_libs(OUT): makes "lib<name>_delay.a" in the build tree for
# each of KL_DELAY_LOADED_LIBS from the toolchain's import library (every
# function it exports), at configure time; OUT gets their paths.
function(kl_delay_import_libs out)
  string(REGEX REPLACE "-g(cc|\\+\\+)(-posix)?$" "" _prefix "${CMAKE_CXX_COMPILER}")
  find_program(KL_DLLTOOL NAMES "${_prefix}-dlltool" REQUIRED)
  find_program(KL_NM NAMES "${_prefix}-nm" REQUIRED)
  set(_dir "${CMAKE_BINARY_DIR}/delayload")
  file(MAKE_DIRECTORY "${_dir}")
  set(_libs "")
  foreach(_n IN LISTS KL_DELAY_LOADED_LIBS)
    find_library(_import_${_n} NAMES "lib${_n}.a" REQUIRED)
    execute_process(COMMAND "${KL_NM}" -g --defined-only "${_import_${_n}}"
                    OUTPUT_VARIABLE _syms RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "cannot list ${_import_${_n}}")
    endif()
    string(REGEX MATCHALL "[\n ]T [_A-Za-z0-9@]+" _ts "${_syms}")
    set(_def "LIBRARY ${_n}.dll\nEXPORTS\n")
    set(_seen "")
    foreach(_t IN LISTS _ts)
      string(REGEX REPLACE "^[\n ]T " "" _t "${_t}")
      if(_t MATCHES "^__imp_" OR _t MATCHES "^__head" OR _t MATCHES "_iname$")
        continue()
      endif()
      if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
        string(REGEX REPLACE "^_" "" _t "${_t}")
      endif()
      list(FIND _seen "${_t}" _at)
      if(_at EQUAL -1)
        list(APPEND _seen "${_t}")
        string(APPEND _def "${_t}\n")
      endif()
    endforeach()
    file(WRITE "${_dir}/${_n}.def" "${_def}")
    set(_kill "")
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
      set(_kill -k)
    endif()
    execute_process(COMMAND "${KL_DLLTOOL}" ${_kill} -d "${_dir}/${_n}.def" -D "${_n}.dll"
                            -y "${_dir}/lib${_n}_delay.a"
                    RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "dlltool failed for ${_n}")
    endif()
    list(APPEND _libs "${_dir}/lib${_n}_delay.a")
  endforeach()
  set(${out} "${_libs}" PARENT_SCOPE)
endfunction()

# Machine-wide state that test cases of several programs share under fixed
# names. Each entry is "<lock>|<regex over ctest names>": the matching cases
# get the lock as a ctest RESOURCE_LOCK, so that "ctest -j" never runs two
# cases holding the same lock at once.
#  kl_working_copy   the run's private folders %TEMP%\__KLIMEWork*\ (and the
#                    old fixed names, which cases plant; cases that start the
#                    real setup, or make the work folder)
#  kl_sample_product Program Files\KeloSample, its keys, module, fonts and data,
#                    the interface log in %TEMP%, holdime.exe processes
#  kl_layouts        keyboard-layout registrations and the layout list
#  kl_shell_folders  the common program menu and the desktop (links counted)
#  kl_pending        the pending restart replacements (Session Manager)
#  kl_owner          HKLM RegisteredOwner / RegisteredOrganization
#  kl_drive_root     C:\kl, C:\kl test, C:\test, C:\b
set(KL_TEST_LOCKS
  "kl_working_copy|win64\\.(Silent|Startup|Wizard|Removal|SignedSetup|HostileInput|DriverUpdate|SkinUpdate|WorkFolder|WorkFolderAndDlls)\\..*"
  "kl_sample_product|win64\\.(Silent|WorkFolderAndDlls|Wizard|Removal|SignedSetup|DriverUpdate|SkinUpdate|SampleInstall|SampleInterface|InUseTest)\\..*"
  "kl_layouts|win64\\.(Silent|WorkFolderAndDlls|Wizard|Removal|DriverUpdate|SkinUpdate|SampleInstall|SmallInstall|RegisterImeTest|LayoutRemoval|HostileInput)\\..*"
  "kl_shell_folders|win64\\.(Silent|WorkFolderAndDlls|Wizard|Removal|DriverUpdate|SkinUpdate|SampleInstall|SmallInstall|ShortcutsTest|HostileInput)\\..*"
  "kl_pending|win64\\.(Silent|WorkFolderAndDlls|Wizard|Removal|DriverUpdate|SkinUpdate|SampleInstall|SmallInstall|Placement|CopyFolderTest|MoveFolderTest|LayoutRemoval)\\..*"
  "kl_owner|win64\\.(Silent|WorkFolderAndDlls|Wizard|Removal|DriverUpdate|SkinUpdate|PageInit|SampleInstall)\\..*"
  "kl_drive_root|win64\\.(RemoveFolderTree|SpacedPath|ProtectedFolders)\\..*")
# The end-to-end cases drive the real setup and look at every process and
# window of the machine (a robot case counts the test program's own
# processes): whatever their suite, they run one at a time.
set(KL_PROGRAM_LOCKS "e2e_tests|kl_e2e")

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
    # The cases are only known when ctest runs: a script included after the
    # discovered ones gives each case the locks of KL_TEST_LOCKS it matches
    # and those KL_PROGRAM_LOCKS give every case of this program.
    set(_script "${CMAKE_CURRENT_BINARY_DIR}/${name}_locks.cmake")
    set(_all "")
    foreach(_e IN LISTS KL_PROGRAM_LOCKS)
      if(_e MATCHES "^${name}\\|(.*)$")
        list(APPEND _all ${CMAKE_MATCH_1})
      endif()
    endforeach()
    file(WRITE "${_script}" "set(_kl_locks [==[${KL_TEST_LOCKS}]==])\n"
         "set(_kl_all [==[${_all}]==])\n"
         "foreach(_t IN LISTS ${name}_TESTS)\n"
         "  set(_held \${_kl_all})\n"
         "  foreach(_e IN LISTS _kl_locks)\n"
         "    string(FIND \"\${_e}\" \"|\" _bar)\n"
         "    string(SUBSTRING \"\${_e}\" 0 \${_bar} _lock)\n"
         "    math(EXPR _bar \"\${_bar} + 1\")\n"
         "    string(SUBSTRING \"\${_e}\" \${_bar} -1 _re)\n"
         "    if(_t MATCHES \"^(\${_re})$\")\n"
         "      list(APPEND _held \${_lock})\n"
         "    endif()\n"
         "  endforeach()\n"
         "  if(_held)\n"
         "    set_tests_properties(\"\${_t}\" PROPERTIES RESOURCE_LOCK \"\${_held}\")\n"
         "  endif()\n"
         "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${_script}")
  endif()
endfunction()
