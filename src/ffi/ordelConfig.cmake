# CMake package file of libordel: provides the imported target ordel::ordel
# (libordel.so with include/ordel/ordel.h on its include path).
include("${CMAKE_CURRENT_LIST_DIR}/ordelTargets.cmake")
