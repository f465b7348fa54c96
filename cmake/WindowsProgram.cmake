# What every shipped Windows program gets: its manifest and version resource, a
# link that Windows XP can load, a test that audits its imports against XP and
# one that reads its version resource back.
if(WIN32)
  enable_language(RC)

  get_filename_component(_relayhive_winxp_api_default "${CMAKE_SOURCE_DIR}/../shared/winxp-api" ABSOLUTE)
  set(RELAYHIVE_WINXP_API_DIR "${_relayhive_winxp_api_default}" CACHE PATH
    "Directory of the Windows XP SP3 export lists (<dll>.txt) the import audit also checks against, where it exists")

  # The posix compiler builds every object (GoogleTest needs std::mutex); the shipped
  # programs are linked by its win32-thread-model twin, whose libstdc++ needs no winpthread.
  if(CMAKE_CXX_COMPILER MATCHES "-posix$")
    string(REGEX REPLACE "-posix$" "-win32" RELAYHIVE_WIN32_LINK_DRIVER "${CMAKE_CXX_COMPILER}")
    if(NOT EXISTS "${RELAYHIVE_WIN32_LINK_DRIVER}")
      message(FATAL_ERROR "The shipped programs are linked with ${RELAYHIVE_WIN32_LINK_DRIVER}, which is missing")
    endif()
  endif()
endif()

# relayhive_windows_program(TARGET DESCRIPTION [VERSION_OPTION]): does nothing outside
# Windows builds. VERSION_OPTION: the program prints its version for --version, which
# the version test holds to the resource.
function(relayhive_windows_program target description)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 2 program "VERSION_OPTION" "" "")
  # The resource and manifest are written from the project's version, per program.
  set(RELAYHIVE_PROGRAM ${target})
  set(RELAYHIVE_DESCRIPTION "${description}")
  set(generated ${CMAKE_BINARY_DIR}/win32/${target})
  configure_file(${CMAKE_SOURCE_DIR}/src/win32/program.exe.manifest.in ${generated}/program.exe.manifest @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/src/win32/program.rc.in ${generated}/program.rc @ONLY)
  target_sources(${target} PRIVATE ${generated}/program.rc)
  if(RELAYHIVE_WIN32_LINK_DRIVER)
    set_property(TARGET ${target} PROPERTY RULE_LAUNCH_LINK
      "\"${CMAKE_SOURCE_DIR}/cmake/win32-thread-link\" \"${CMAKE_CXX_COMPILER}\" \"${RELAYHIVE_WIN32_LINK_DRIVER}\"")
  endif()
  if(RELAYHIVE_TESTS)
    find_package(Python3 COMPONENTS Interpreter REQUIRED)
    set(objdump)
    if(CMAKE_OBJDUMP)
      set(objdump --objdump ${CMAKE_OBJDUMP})
    endif()
    add_test(NAME ${target}.exe_imports
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/import_audit.py
              --allowed ${CMAKE_SOURCE_DIR}/tests/windows_imports.txt
              --lists ${RELAYHIVE_WINXP_API_DIR} ${objdump} $<TARGET_FILE:${target}>)
    set(run_version)
    if(program_VERSION_OPTION)
      set(run_version --run ${CMAKE_SOURCE_DIR}/cmake/wine-run ${CMAKE_BINARY_DIR}/wineprefix)
    endif()
    add_test(NAME ${target}.exe_version
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/version_resource.py
              --expect ${PROJECT_VERSION} $<TARGET_FILE:${target}> ${run_version})
  endif()
endfunction()
