# The core (src/core) knows no Python: none of its files may include Python.h
# or a binding header from src/python. Run at configure time (include()) and
# as a test (cmake -DMARROWFIN_SOURCE_DIR=... -P this file), since a file can
# gain the include after the build was configured.
if(NOT MARROWFIN_SOURCE_DIR)
  set(MARROWFIN_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/..)
endif()
file(GLOB_RECURSE core_files ${MARROWFIN_SOURCE_DIR}/src/core/*)
set(offenders)
foreach(file ${core_files})
  file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](Python\\.h|python/)")
  if(includes)
    list(APPEND offenders "${file}: ${includes}")
  endif()
endforeach()
if(offenders)
  list(JOIN offenders "\n  " listed)
  message(FATAL_ERROR "src/core must stay Python-free; these files include the bindings:\n  ${listed}")
endif()
