# The product's layers: one static library per folder (qel_<folder>), each
# using only folders of lower layers. The build holds every library to it:
#
# - A library's sources see the headers of its own folder and of the folders
#   it names (USES), and no others: each folder is reached through an include
#   root of its own (<build>/layers/<folder>/, which holds only the link
#   <folder> -> the source folder), never through the source tree's root. The
#   libraries link PRIVATE, so a library's consumers do not see what it uses.
#   An #include of any other folder's header fails to compile ("No such file
#   or directory"). The debug information names a header's folder as the
#   compiler found it: each root is mapped to "." (after the build folder's
#   map, so that it wins), and the names stay "./<folder>/..." as before.
# - A library may name only folders of a lower layer: configuring stops when
#   it names its own layer's sibling or a higher one. So the folders can never
#   include each other in a circle.
#
# The test layer_rule (tests/tools/layer-rule.sh) proves both: every upward
# and sideways include fails, every declared one compiles, and a declared
# upward use stops the configuration.
#
# The programs outside the product (tools, tests, stand-ins, benchmarks) see
# the whole source tree and link the libraries they use.

set(QEL_LAYER_ROOT ${CMAKE_BINARY_DIR}/layers)

# qel_layers(<layer>...): the layers from the bottom up; a layer is a folder,
# or several folders in one argument ("scheduler instru"): siblings, which
# may not use each other.
function(qel_layers)
  set(rank 0)
  set(order "")
  foreach(layer IN LISTS ARGN)
    string(REPLACE " " ";" folders "${layer}")
    foreach(folder IN LISTS folders)
      set_property(GLOBAL PROPERTY QEL_LAYER_RANK_${folder} ${rank})
      add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${QEL_LAYER_ROOT}/${folder}=.>")
      string(APPEND order "${rank} ${folder}\n")
    endforeach()
    math(EXPR rank "${rank} + 1")
  endforeach()
  file(WRITE ${QEL_LAYER_ROOT}/order.txt "${order}")
endfunction()

# Stops the configuration unless every folder in USES is of a lower layer than `folder`.
function(qel_check_layer_uses folder)
  get_property(rank GLOBAL PROPERTY QEL_LAYER_RANK_${folder})
  if(rank STREQUAL "")
    message(FATAL_ERROR "${folder}/ is not a layer of the product (cmake/Layers.cmake, qel_layers)")
  endif()
  foreach(used IN LISTS ARGN)
    get_property(below GLOBAL PROPERTY QEL_LAYER_RANK_${used})
    if(below STREQUAL "")
      message(FATAL_ERROR "${folder}/ uses ${used}/, which is not a layer of the product")
    elseif(NOT below LESS rank)
      message(FATAL_ERROR "${folder}/ may not use ${used}/: a layer uses only the layers below it "
                          "(README.md, \"Layout\"; cmake/Layers.cmake)")
    endif()
  endforeach()
endfunction()

# qel_layer_library(<folder> [USES <folder>...] SOURCES <source>...):
# the library qel_<folder>, which may include the headers of the folders it uses.
function(qel_layer_library folder)
  cmake_parse_arguments(PARSE_ARGV 1 LAYER "" "" "USES;SOURCES")
  qel_check_layer_uses(${folder} ${LAYER_USES})
  set(target qel_${folder})
  add_library(${target} STATIC ${LAYER_SOURCES})
  qel_strict(${target})
  file(MAKE_DIRECTORY ${QEL_LAYER_ROOT}/${folder})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${QEL_LAYER_ROOT}/${folder}/${folder} SYMBOLIC)
  target_include_directories(${target} PUBLIC ${QEL_LAYER_ROOT}/${folder})
  list(TRANSFORM LAYER_USES PREPEND qel_ OUTPUT_VARIABLE libraries)
  target_link_libraries(${target} PRIVATE ${libraries} qel_platform)
  # What the test layer_rule checks: the layer's uses and what its sources are compiled with.
  get_property(rank GLOBAL PROPERTY QEL_LAYER_RANK_${folder})
  string(JOIN " " uses ${LAYER_USES})
  file(GENERATE OUTPUT ${QEL_LAYER_ROOT}/${folder}.rule CONTENT
"rank=${rank}
uses=\"${uses}\"
includes=(\"$<JOIN:$<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>,\" \">\")
defines=(\"$<JOIN:$<TARGET_PROPERTY:${target},COMPILE_DEFINITIONS>,\" \">\")
")
endfunction()
