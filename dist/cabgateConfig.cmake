# find_package(cabgate) gives the imported target cabgate::cabgate.
include(${CMAKE_CURRENT_LIST_DIR}/cabgateTargets.cmake)
