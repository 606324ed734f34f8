# Fails when a source file includes a header of a room above its own. The rooms of src/,
# bottom up; a room may include its own headers and those of any room on a lower line,
# never one on its own line or above:
#   platform                    the Linux layer and the log
#   tef printing websocket rest the TEF component, printing, the listener, the HTTP client
#   routing                     JSON text, tokens, the session list
#   datamodule                  TDmSitef: the operations and the sales callback
#   service                     the service object and main()
# Run as: cmake -DSOURCE_DIR=<project>/src -P CheckLayers.cmake
set(levels platform 0 tef 1 printing 1 websocket 1 rest 1 routing 2 datamodule 3 service 4)
function(level_of room out)
  list(FIND levels ${room} at)
  if(at EQUAL -1)
    set(${out} -1 PARENT_SCOPE)
  else()
    math(EXPR at "${at} + 1")
    list(GET levels ${at} level)
    set(${out} ${level} PARENT_SCOPE)
  endif()
endfunction()

file(GLOB rooms LIST_DIRECTORIES true RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
set(faults "")
foreach(room ${rooms})
  if(NOT IS_DIRECTORY ${SOURCE_DIR}/${room})
    continue()
  endif()
  level_of(${room} own)
  if(own EQUAL -1)
    string(APPEND faults "  src/${room}/ is no room of the layer list in cmake/CheckLayers.cmake\n")
    continue()
  endif()
  file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${room}/*.h ${SOURCE_DIR}/${room}/*.cpp
       ${SOURCE_DIR}/${room}/*.in)
  foreach(file ${files})
    file(STRINGS ${SOURCE_DIR}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"[a-z]+/")
    foreach(line ${includes})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([a-z]+)/.*$" "\\1" target "${line}")
      if(target STREQUAL room)
        continue()
      endif()
      level_of(${target} theirs)
      if(theirs EQUAL -1 OR NOT theirs LESS own)
        string(APPEND faults "  src/${file}: ${line}\n")
      endif()
    endforeach()
  endforeach()
endforeach()
if(faults)
  message(FATAL_ERROR "Includes that run upward or sideways between rooms:\n${faults}")
endif()
message(STATUS "Every include of src/ runs downward.")
