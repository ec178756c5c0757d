# Reproducible builds: the same source, built with the same tools, gives the
# same bytes, whoever builds it, in whichever folder and at whatever time. A
# publisher's security team, an auditor or a support engineer can then rebuild
# a release and compare it with what was shipped (scripts/release --check does
# that, and the test reproducible_build on part of the build).
#
# - No time stamps. The linker leaves the PE header's TimeDateStamp at 0 (its
#   default is the time of the link), and so do objcopy and strip when they
#   split the debug information off (qel_split_debug); archives are written in ar's
#   deterministic mode (no dates, owners or modes), whatever the binutils
#   package's default; the delay-load libraries too (cmake/make-delaylib.sh).
#   No source uses __DATE__ or __TIME__; a tool that wants a date gets
#   SOURCE_DATE_EPOCH (scripts/release sets the commit's time).
# - No build paths. The compiler writes file names into debug information,
#   into __FILE__ (the C runtime's assert, for one) and into the debug link's
#   checksum through the debug file: the source folder and the build folder
#   are both mapped to ".", so every name is relative to the folder a debugger
#   runs in, and gdb or addr2line started in the source folder find the
#   sources (README, "Release"). The third-party headers the build links into
#   its own folder are mapped back to where they really are, and the layers'
#   include roots (cmake/Layers.cmake) to the source folder.
# - No precompiled header for the product (qel_strict): GCC 12 lays the
#   header's declarations out by the build folder's path, and the variable
#   locations in the debug information then changed with the folder.
# - The same order. Sources are batched in the order the CMakeLists files list
#   them (no globbing of the product's sources), and every list a script sorts
#   is sorted in the C locale.
# - Nothing from the environment: no user, host, locale, time zone or umask
#   reaches a compiled file (scripts/release builds with a cleared
#   environment all the same, and records what it used).
set(_qel_prefix_maps
  -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
  # Given after the source folder's, so that it wins for a build folder inside it.
  -ffile-prefix-map=${CMAKE_BINARY_DIR}=.
  -ffile-prefix-map=${QEL_THIRD_PARTY_INCLUDE}=/usr/include)
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:${_qel_prefix_maps}>")
add_link_options(-Wl,--no-insert-timestamp)

foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()
