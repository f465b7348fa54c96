# What every shipped Windows program gets: its manifest and version resource, a
# link that Windows XP can load, and a test that audits its imports against XP.
if(WIN32)
  enable_language(RC)

  get_filename_component(_relayhive_winxp_api_default "${CMAKE_SOURCE_DIR}/../shared/winxp-api" ABSOLUTE)
  set(RELAYHIVE_WINXP_API_DIR "${_relayhive_winxp_api_default}" CACHE PATH
    "Directory of the Windows XP SP3 export lists (<dll>.txt) the import audit checks against")

  # The posix compiler builds every object (GoogleTest needs std::mutex); the shipped
  # programs are linked by its win32-thread-model twin, whose libstdc++ needs no winpthread.
  if(CMAKE_CXX_COMPILER MATCHES "-posix$")
    string(REGEX REPLACE "-posix$" "-win32" RELAYHIVE_WIN32_LINK_DRIVER "${CMAKE_CXX_COMPILER}")
    if(NOT EXISTS "${RELAYHIVE_WIN32_LINK_DRIVER}")
      message(FATAL_ERROR "The shipped programs are linked with ${RELAYHIVE_WIN32_LINK_DRIVER}, which is missing")
    endif()
  endif()
endif()

# relayhive_windows_program(TARGET RC_FILE): does nothing outside Windows builds.
function(relayhive_windows_program target rc_file)
  if(NOT WIN32)
    return()
  endif()
  target_sources(${target} PRIVATE ${rc_file})
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
              --lists ${RELAYHIVE_WINXP_API_DIR} ${objdump} $<TARGET_FILE:${target}>)
  endif()
endfunction()
