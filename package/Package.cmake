# The installable driver package of a kernel build: build/<preset>/package/
# with vextora.sys (without its DWARF, which stays in build/<preset>/
# vextora.sys.debug), the INF of this architecture for VEXTORA_HARDWARE_ID,
# and README.txt; text files with CRLF line endings.
include(${CMAKE_CURRENT_LIST_DIR}/HardwareId.cmake)

set(VEXTORA_HARDWARE_ID "${VEXTORA_HARDWARE_ID_PLACEHOLDER}" CACHE STRING
    "USB hardware ID that the package's INF installs the driver for, e.g. USB\\VID_1234&PID_5678")
vextora_check_hardware_id("${VEXTORA_HARDWARE_ID}")

set(package_dir ${CMAKE_BINARY_DIR}/package)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(package_arch x64)
else()
    set(package_arch x86)
endif()

# The version resource (VERSIONINFO) of the image.
target_sources(vextora PRIVATE ${CMAKE_CURRENT_LIST_DIR}/vextora-version.rc)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/vextora-version.rc PROPERTIES
    INCLUDE_DIRECTORIES "${CMAKE_SOURCE_DIR};${VEXTORA_GENERATED_DIR}"
    OBJECT_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/VersionInfo.rc.inc;${VEXTORA_GENERATED_DIR}/vextora_version.h")
vextora_split_debug_info(vextora)

# The INF is written at every build (ArchInf.cmake rewrites it only when its
# text changes), so that DriverVer carries the build's date.
add_custom_target(vextora_package_inf ALL
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${CMAKE_CURRENT_LIST_DIR}/vextora.inf -DOUTPUT=${package_dir}/vextora.inf
            -DARCH=${package_arch} -DHARDWARE_ID=${VEXTORA_HARDWARE_ID} -DVERSION=${VEXTORA_VERSION_QUAD}
            -P ${CMAKE_CURRENT_LIST_DIR}/ArchInf.cmake
    BYPRODUCTS ${package_dir}/vextora.inf
    COMMENT "Writing the ${package_arch} INF"
    VERBATIM)

set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_LIST_DIR}/README.txt)
file(READ ${CMAKE_CURRENT_LIST_DIR}/README.txt readme_text)
file(CONFIGURE OUTPUT ${package_dir}/README.txt CONTENT "${readme_text}" @ONLY NEWLINE_STYLE CRLF)

add_custom_command(OUTPUT ${package_dir}/vextora.sys
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:vextora> ${package_dir}/vextora.sys
    DEPENDS vextora
    COMMENT "Laying out the driver package in ${package_dir}"
    VERBATIM)
add_custom_target(vextora_package ALL DEPENDS ${package_dir}/vextora.sys)
