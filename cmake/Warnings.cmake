# The driver's warnings on every target of this project: the driver, the simulated platform, the
# tests, the benchmarks, the tools, the installer and the toolbox. MELV_WERROR, which the presets that
# test.sh builds switch on, makes them errors, so a warning fails the test command. GoogleTest's
# own targets, built from source for the Windows test hosts, keep the flags their project gives
# them.
option(MELV_WERROR "Treat compiler warnings as errors" OFF)
# Designated initializers name the fields that matter and leave the rest zero, as the language
# says; -Wextra's missing-field-initializers would have every field of a record spelled out.
set(MELV_WARNING_FLAGS -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
if(MELV_WERROR)
  list(APPEND MELV_WARNING_FLAGS -Werror)
endif()

# Adds the warnings to every compiled target defined in `directory` and the folders below it that
# belong to this source tree. Called once, at the end of the top-level list file, so that no target
# is forgotten.
function(melv_add_warnings directory)
  get_property(targets DIRECTORY "${directory}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|STATIC_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
      # The resource compiler takes no such flags.
      target_compile_options(${target} PRIVATE
        "$<$<COMPILE_LANGUAGE:C,CXX>:${MELV_WARNING_FLAGS}>")
    endif()
  endforeach()
  get_property(subdirectories DIRECTORY "${directory}" PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    cmake_path(IS_PREFIX CMAKE_SOURCE_DIR "${subdirectory}" NORMALIZE ours)
    if(ours)
      melv_add_warnings("${subdirectory}")
    endif()
  endforeach()
endfunction()
