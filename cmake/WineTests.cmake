# Tests are Windows programs run under Wine. One template prefix per build
# folder is made at build time (again when its script changes); every test program then runs in its own
# copy with its own wineserver, so tests never see each other's registry or
# files and ctest -j2 is safe.
set(QEL_WINE_ROOT ${CMAKE_BINARY_DIR}/wine)
set(QEL_WINE_TEMPLATE ${QEL_WINE_ROOT}/template)

add_custom_command(
  OUTPUT ${QEL_WINE_TEMPLATE}/.qel-template-ready
  COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-template.sh ${QEL_WINE_TEMPLATE}
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/wine-template.sh
  COMMENT "Making the template Wine prefix (once per build folder)"
  VERBATIM)
# A target of its own, with nothing to wait for: the prefix (20 s of Wine
# starting up) is made while the first sources compile, not after the last.
add_custom_target(wine_template_base DEPENDS ${QEL_WINE_TEMPLATE}/.qel-template-ready)
# Then what signature checks need from the machine (cmake/wine-trust.sh): the
# shims Wine lacks, registered as Windows registers them, and the test roots.
add_custom_command(
  OUTPUT ${QEL_WINE_TEMPLATE}/.qel-trust-ready
  COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-trust.sh ${QEL_WINE_TEMPLATE} $<TARGET_FILE:trustshim>
          $<TARGET_FILE:trustsetup> ${QEL_PKI_DIR}
  DEPENDS ${QEL_WINE_TEMPLATE}/.qel-template-ready ${CMAKE_SOURCE_DIR}/cmake/wine-trust.sh trustshim trustsetup
          ${QEL_PKI_DIR}/root-tarsen.crt ${QEL_PKI_DIR}/root-orvel.crt ${QEL_PKI_DIR}/root-spare.crt
          ${QEL_PKI_DIR}/root-unpinned.crt
  COMMENT "Registering the signature-check shims and test roots in the template Wine prefix"
  VERBATIM)
add_custom_target(wine_template ALL DEPENDS ${QEL_WINE_TEMPLATE}/.qel-trust-ready)
add_dependencies(wine_template wine_template_base)

# qel_add_wine_test(<test name> <target> [args...]): one CTest entry that runs
# the whole test program (all its cases) in a fresh copy of the template.
function(qel_add_wine_test name target)
  add_test(NAME ${name}
           COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh ${QEL_WINE_TEMPLATE} ${QEL_WINE_ROOT}/run/${name}
                   $<TARGET_FILE:${target}> ${ARGN})
  set_tests_properties(${name} PROPERTIES TIMEOUT 900)
endfunction()
