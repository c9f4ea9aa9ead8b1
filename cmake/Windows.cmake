# Building the module for 64-bit Windows, with MSVC or with MinGW-w64 (GCC).
#
# On Windows the module links the vendor's OstrelMessage5.dll through its import library,
# and Node's functions (Node-API, the libuv mutex) through Node's import library. Those
# are taken through the delay-load helper, and src/delayloadhook.cpp answers the helper's
# request for "node.exe" with the host process's own module, so the module binds to the
# process that loads it whatever its executable is named.
#
# Only the module is built, except in the Windows test build (CORVELLE_OSTREL_IMPL=inproc):
# there the in-process library becomes a stand-in OstrelMessage5.dll, and the test module,
# the control addon and a module without the hook are built against it, to be run in a
# Windows Node (scripts/windows-runtime.sh, under wine). The D-Bus library, the tests'
# runners, the tools and the benchmarks are Linux programs.
#
# Cache variables (each may also come from the environment variable of the same name):
#   OSTREL_LIBRARY    the vendor's import library of OstrelMessage5.dll (OstrelMessage5.lib
#                     for MSVC; libOstrelMessage5.dll.a or OstrelMessage5.lib for MinGW).
#                     When not given it is looked up under OSTREL_ROOT. Not used by the
#                     test build, which makes its own OstrelMessage5.dll.
#   OSTREL_ROOT       the folder of the vendor's library (searched in ., lib, lib/x64).
#   NODE_LIBRARY      Node's import library for the Node version the module is built for.
#                     MSVC: node.lib. MinGW: a delay-import library of node.exe, made with
#                     `dlltool --output-delaylib` (GNU ld has no /DELAYLOAD).
#   NODE_INCLUDE_DIR  Node's headers (include/node) of that version.
# NODE_INCLUDE_DIR and, for MSVC, NODE_LIBRARY default to what node-gyp keeps in its cache
# for the running Node (%LOCALAPPDATA%\node-gyp\Cache\<version>), when it is there.
# This file is included before the targets are made.

foreach(variable OSTREL_LIBRARY OSTREL_ROOT NODE_LIBRARY NODE_INCLUDE_DIR)
  if(NOT ${variable} AND DEFINED ENV{${variable}})
    file(TO_CMAKE_PATH "$ENV{${variable}}" ${variable})
  endif()
endforeach()

execute_process(COMMAND ${NODE_EXECUTABLE} -p "process.versions.node"
                OUTPUT_VARIABLE CORVELLE_NODE_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE)
file(TO_CMAKE_PATH "$ENV{LOCALAPPDATA}/node-gyp/Cache/${CORVELLE_NODE_VERSION}"
     CORVELLE_NODE_GYP_CACHE)
if(NOT NODE_INCLUDE_DIR AND EXISTS ${CORVELLE_NODE_GYP_CACHE}/include/node/node_api.h)
  set(NODE_INCLUDE_DIR ${CORVELLE_NODE_GYP_CACHE}/include/node)
endif()
if(NOT NODE_LIBRARY AND MSVC AND EXISTS ${CORVELLE_NODE_GYP_CACHE}/x64/node.lib)
  set(NODE_LIBRARY ${CORVELLE_NODE_GYP_CACHE}/x64/node.lib)
endif()
if(NOT NODE_LIBRARY)
  message(FATAL_ERROR "Node's import library was not found: set NODE_LIBRARY (MSVC: node.lib of "
                      "Node ${CORVELLE_NODE_VERSION}; MinGW: a delay-import library of node.exe)")
endif()

if(CORVELLE_OSTREL_IMPL STREQUAL "inproc")
  message(STATUS "Windows: Node's import library ${NODE_LIBRARY}, the in-process library as "
                 "OstrelMessage5.dll")
else()
  if(NOT OSTREL_LIBRARY)
    find_library(OSTREL_LIBRARY NAMES OstrelMessage5 HINTS ${OSTREL_ROOT}
                 PATH_SUFFIXES lib lib/x64 NO_CMAKE_FIND_ROOT_PATH)
  endif()
  if(NOT OSTREL_LIBRARY)
    message(FATAL_ERROR "The import library of OstrelMessage5.dll was not found: set "
                        "OSTREL_LIBRARY to it, or OSTREL_ROOT to the folder of the vendor's "
                        "library")
  endif()
  message(STATUS "Windows: Node's import library ${NODE_LIBRARY}, the vendor's ${OSTREL_LIBRARY}")

  # The vendor's library, linked where the module picks its messaging library.
  add_library(ostrel_vendor UNKNOWN IMPORTED)
  set_target_properties(ostrel_vendor PROPERTIES IMPORTED_LOCATION ${OSTREL_LIBRARY})
  target_link_libraries(ostrel_vendor INTERFACE ostrel_interface)
endif()

# NAPI_EXTERN and UV_EXTERN become dllimport: calls go straight through the import slots
# that the delay-load helper fills. NOMINMAX and WIN32_LEAN_AND_MEAN keep the Windows
# headers (which uv.h includes) from defining min/max and pulling in the old winsock.
add_compile_definitions(BUILDING_NODE_EXTENSION USING_UV_SHARED=1 NOMINMAX WIN32_LEAN_AND_MEAN)

# Multi-configuration generators (Visual Studio) put every configuration in build/Release,
# where index.js loads the module from.
foreach(config ${CMAKE_CONFIGURATION_TYPES})
  string(TOUPPER ${config} config)
  set(CMAKE_LIBRARY_OUTPUT_DIRECTORY_${config} ${CORVELLE_OUTPUT_DIR})
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY_${config} ${CORVELLE_OUTPUT_DIR})
endforeach()

# The module's Windows link: Node's functions through the delay-load helper, with the hook
# that answers "node.exe" with the host process. WITHOUT_HOOK leaves the hook out (the
# helper then loads a file named node.exe), for the test that shows what the hook is for.
function(corvelle_windows_module target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "WITHOUT_HOOK" "" "")
  if(NOT arg_WITHOUT_HOOK)
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src/delayloadhook.cpp)
  endif()
  target_link_libraries(${target} PRIVATE ${NODE_LIBRARY})
  if(MSVC)
    target_link_options(${target} PRIVATE /DELAYLOAD:node.exe)
    target_link_libraries(${target} PRIVATE delayimp)
  else()
    # The C++ and thread runtimes go into the module, so that it needs no MinGW DLLs next
    # to it; the delay-load helper comes from the MinGW runtime (libmingwex).
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()
