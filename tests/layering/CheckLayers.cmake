# Fails when a source in a layer folder or in apps/ includes a header of a layer above
# its own, or of another layer on the same level, or the database engine's header
# outside storage/. Run as
#   cmake -DROOT=<repository> -P CheckLayers.cmake
# Each file and line that breaks the order is named.

# From the bottom; folders on one line share a level and must not include each other.
set(levels
  "platform"
  "resources"
  "model"
  "protocol"
  "net|storage"
  "core"
  "serial"
  "service"
  "ui"
  "apps"
)

set(level 0)
foreach(entry IN LISTS levels)
  string(REPLACE "|" ";" folders "${entry}")
  foreach(folder IN LISTS folders)
    set(level_of_${folder} ${level})
    list(APPEND known ${folder})
  endforeach()
  math(EXPR level "${level} + 1")
endforeach()

set(breaks 0)
set(checked 0)
foreach(folder IN LISTS known)
  file(GLOB_RECURSE sources LIST_DIRECTORIES false RELATIVE ${ROOT}
    ${ROOT}/${folder}/*.h ${ROOT}/${folder}/*.cpp)
  foreach(source IN LISTS sources)
    math(EXPR checked "${checked} + 1")
    file(STRINGS ${ROOT}/${source} lines)
    set(number 0)
    foreach(line IN LISTS lines)
      math(EXPR number "${number} + 1")
      if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*<sqlite3\\.h>" AND NOT folder STREQUAL "storage")
        message("${source}:${number}: the database engine is reached only through storage/")
        math(EXPR breaks "${breaks} + 1")
      endif()
      if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\"")
        continue()
      endif()
      set(path ${CMAKE_MATCH_1})
      if(path MATCHES "^\\.\\./")
        message("${source}:${number}: includes \"${path}\" around the layer folders")
        math(EXPR breaks "${breaks} + 1")
      elseif(path MATCHES "^([^/]+)/")
        set(target ${CMAKE_MATCH_1})
        if(NOT DEFINED level_of_${target} OR target STREQUAL folder)
          continue()
        endif()
        if(NOT level_of_${target} LESS level_of_${folder})
          message("${source}:${number}: ${folder}/ includes \"${path}\" of ${target}/, which is not below it")
          math(EXPR breaks "${breaks} + 1")
        endif()
      endif()
    endforeach()
  endforeach()
endforeach()

if(checked EQUAL 0)
  message(FATAL_ERROR "no sources found under ${ROOT}")
endif()
if(breaks GREATER 0)
  message(FATAL_ERROR "${breaks} include(s) break the layer order")
endif()
message("${checked} sources keep the layer order")
