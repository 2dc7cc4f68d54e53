# The test suite's home (see CMakeLists.txt): cmake -DHOME=<folder> -P test_home.cmake setup|cleanup
#   setup:   a fresh temporary, configuration and runtime folder (the cache stays)
#   cleanup: fails, naming them, when tests left files in the temporary folder;
#            removes everything but the cache
set(_step ${CMAKE_ARGV4})
if(NOT HOME OR NOT (_step STREQUAL "setup" OR _step STREQUAL "cleanup"))
  message(FATAL_ERROR "usage: cmake -DHOME=<folder> -P test_home.cmake setup|cleanup")
endif()

if(_step STREQUAL "setup")
  file(REMOVE_RECURSE ${HOME}/tmp ${HOME}/config ${HOME}/runtime)
  file(MAKE_DIRECTORY ${HOME}/tmp ${HOME}/config ${HOME}/cache ${HOME}/runtime)
  # Qt accepts a runtime folder only when nobody else may enter it.
  execute_process(COMMAND chmod 700 ${HOME}/runtime)
  return()
endif()

file(GLOB _left RELATIVE ${HOME}/tmp ${HOME}/tmp/* ${HOME}/tmp/.*)
file(REMOVE_RECURSE ${HOME}/tmp ${HOME}/config ${HOME}/runtime)
if(_left)
  list(JOIN _left ", " _names)
  message(FATAL_ERROR "The tests left files in their temporary folder ${HOME}/tmp: ${_names}")
endif()
