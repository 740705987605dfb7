# The installable driver package of a kernel build: build/<preset>/package/
# with vextora.sys, vextora.inf (for VEXTORA_HARDWARE_ID) and README.txt.
include(${CMAKE_CURRENT_LIST_DIR}/HardwareId.cmake)

set(VEXTORA_HARDWARE_ID "${VEXTORA_HARDWARE_ID_PLACEHOLDER}" CACHE STRING
    "USB hardware ID that the package's INF installs the driver for, e.g. USB\\VID_1234&PID_5678")
vextora_check_hardware_id("${VEXTORA_HARDWARE_ID}")

set(package_dir ${CMAKE_BINARY_DIR}/package)
set(inf_source ${CMAKE_CURRENT_LIST_DIR}/vextora.inf)

# The INF is rewritten at configure time; a changed source INF or option
# re-runs the configuration.
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${inf_source})
file(READ ${inf_source} inf_text)
string(FIND "${inf_text}" "${VEXTORA_HARDWARE_ID_PLACEHOLDER}" placeholder_at)
if(placeholder_at EQUAL -1)
    message(FATAL_ERROR "${inf_source} lacks the hardware ID placeholder ${VEXTORA_HARDWARE_ID_PLACEHOLDER}")
endif()
string(REPLACE "${VEXTORA_HARDWARE_ID_PLACEHOLDER}" "${VEXTORA_HARDWARE_ID}" inf_text "${inf_text}")
file(CONFIGURE OUTPUT ${package_dir}/vextora.inf CONTENT "${inf_text}" @ONLY)

add_custom_command(OUTPUT ${package_dir}/vextora.sys ${package_dir}/README.txt
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:vextora> ${package_dir}/vextora.sys
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/README.txt ${package_dir}/README.txt
    DEPENDS vextora ${CMAKE_CURRENT_LIST_DIR}/README.txt
    COMMENT "Laying out the driver package in ${package_dir}"
    VERBATIM)
add_custom_target(vextora_package ALL DEPENDS ${package_dir}/vextora.sys ${package_dir}/README.txt)
