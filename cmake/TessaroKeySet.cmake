# The development key set signs whatever anyone with this repository signs: a build that embeds it
# (recognised by its key ids, wherever the file lies) must say so with TESSARO_DEVELOPMENT_BUILD=ON.
# Also runs on its own: cmake -DKEYS=<file> -DDEVELOPMENT_KEYS=<file> -DDEVELOPMENT_BUILD=<bool> -P <this>.

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  cmake_minimum_required(VERSION 3.25)
endif()

function(tessaro_key_ids file output)
  file(READ "${file}" text)
  set(ids)
  string(JSON count ERROR_VARIABLE error LENGTH "${text}")
  if(NOT error)
    math(EXPR last "${count} - 1")
    foreach(index RANGE ${last})
      string(JSON id ERROR_VARIABLE error GET "${text}" ${index} keyId)
      if(NOT error)
        list(APPEND ids "${id}")
      endif()
    endforeach()
  endif()
  set(${output} "${ids}" PARENT_SCOPE)
endfunction()

function(tessaro_check_key_set keys development_keys development_build)
  tessaro_key_ids("${keys}" ids)
  tessaro_key_ids("${development_keys}" development_ids)
  foreach(id IN LISTS ids)
    if(id IN_LIST development_ids AND NOT development_build)
      message(FATAL_ERROR "The trust key set ${keys} holds the development key '${id}'. Either pass a "
                          "release key set with -DTESSARO_TRUST_KEYS_FILE=<file>, or opt into a development "
                          "build that must never be released with -DTESSARO_DEVELOPMENT_BUILD=ON.")
    endif()
  endforeach()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  tessaro_check_key_set("${KEYS}" "${DEVELOPMENT_KEYS}" "${DEVELOPMENT_BUILD}")
endif()
