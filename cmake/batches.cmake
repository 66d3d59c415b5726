# Compiling a target's C++ sources in batches: one generated file per few
# sources that includes them one after another. The library, tool and test
# sources each parse the same large headers (the JSON library, the
# command-line parser, GoogleTest) and instantiate the same templates;
# parsed and instantiated once per batch instead of once per file, a cold
# build takes about half the time.
#
# CMake's own unity builds name the sources by absolute path, so a package
# build (another copy of the tree) would produce different files and miss
# the compiler cache the test builds filled. These batch files name the
# sources relative to the top of the tree, which is on the include path:
# every copy of the tree produces the same files.
#
# A source that cannot share a batch (it defines what another source of the
# target defines too) keeps compiling alone with
#   set_source_files_properties(file.cpp PROPERTIES ORVEX_ALONE ON)
option(ORVEX_BATCHES "Compile the libraries, tools and tests in batches of sources" ON)
set(ORVEX_BATCH_SIZE 8 CACHE STRING "Sources per batch")

function(orvex_batches target)
  if(NOT ORVEX_BATCHES)
    return()
  endif()
  get_target_property(sources ${target} SOURCES)
  get_target_property(source_dir ${target} SOURCE_DIR)
  set(pending "")
  set(count 0)
  set(index 0)
  set(batch_files "")
  foreach(source IN LISTS sources)
    if(NOT source MATCHES "\\.cpp$")
      continue()
    endif()
    get_filename_component(path "${source}" ABSOLUTE BASE_DIR "${source_dir}")
    get_source_file_property(alone "${path}" ORVEX_ALONE)
    if(alone)
      continue()
    endif()
    file(RELATIVE_PATH relative "${PROJECT_SOURCE_DIR}" "${path}")
    string(APPEND pending "#include \"${relative}\"\n")
    set_source_files_properties("${path}" PROPERTIES HEADER_FILE_ONLY ON)
    math(EXPR count "${count} + 1")
    if(count EQUAL ORVEX_BATCH_SIZE)
      set(file "${CMAKE_CURRENT_BINARY_DIR}/batches/${target}_${index}.cpp")
      file(CONFIGURE OUTPUT "${file}" CONTENT "${pending}" @ONLY)
      list(APPEND batch_files "${file}")
      set(pending "")
      set(count 0)
      math(EXPR index "${index} + 1")
    endif()
  endforeach()
  if(count GREATER 0)
    set(file "${CMAKE_CURRENT_BINARY_DIR}/batches/${target}_${index}.cpp")
    file(CONFIGURE OUTPUT "${file}" CONTENT "${pending}" @ONLY)
    list(APPEND batch_files "${file}")
  endif()
  target_sources(${target} PRIVATE ${batch_files})
  target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}")
endfunction()
