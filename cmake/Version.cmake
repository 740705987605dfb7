# The project's version as a header that C, C++ and the resource compiler
# read: ${CMAKE_BINARY_DIR}/generated/vextora_version.h. Link the interface
# target vextora_version to see it.
#
# Windows writes file and driver versions with four numbers; a version of
# three in project() gets 0 as the fourth.
set(VEXTORA_VERSION_TWEAK 0)
if(NOT "${PROJECT_VERSION_TWEAK}" STREQUAL "")
    set(VEXTORA_VERSION_TWEAK ${PROJECT_VERSION_TWEAK})
endif()
set(VEXTORA_VERSION_QUAD
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${VEXTORA_VERSION_TWEAK}")

set(VEXTORA_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/vextora_version.h.in ${VEXTORA_GENERATED_DIR}/vextora_version.h @ONLY)

add_library(vextora_version INTERFACE)
target_include_directories(vextora_version INTERFACE ${VEXTORA_GENERATED_DIR})
