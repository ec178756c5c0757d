# Under Wine (and on Windows) every DLL in a program's import table is loaded
# before wWinMain runs, whether the run uses it or not; shell32 and ole32 alone
# pull in a dozen more. The product links these through delay-load import
# libraries instead, so a DLL is loaded only when one of its functions is first
# called. Kernel32, msvcrt and advapi32 stay ordinary imports.
set(QEL_DELAYLOAD_DLLS shell32 shlwapi ole32 oleaut32 version crypt32 wintrust userenv wtsapi32 psapi)
set(QEL_DELAYLIB_DIR ${CMAKE_BINARY_DIR}/delaylib)
file(MAKE_DIRECTORY ${QEL_DELAYLIB_DIR})

set(_qel_delay_outputs)
foreach(dll IN LISTS QEL_DELAYLOAD_DLLS)
  find_library(QEL_IMPORTLIB_${dll} NAMES lib${dll}.a PATHS /usr/${QEL_TRIPLE}/lib NO_DEFAULT_PATH REQUIRED)
  set(out ${QEL_DELAYLIB_DIR}/lib${dll}_delay.a)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_SOURCE_DIR}/cmake/make-delaylib.sh ${QEL_IMPORTLIB_${dll}} ${out} ${QEL_TRIPLE}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/make-delaylib.sh
    COMMENT "Delay-load import library for ${dll}.dll"
    VERBATIM)
  list(APPEND _qel_delay_outputs ${out})
endforeach()
add_custom_target(qel_delaylibs DEPENDS ${_qel_delay_outputs})

add_library(qel_delayload INTERFACE)
add_dependencies(qel_delayload qel_delaylibs)
target_link_libraries(qel_delayload INTERFACE ${_qel_delay_outputs} delayimp)
