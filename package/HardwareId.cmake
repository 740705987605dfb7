# Checks the hardware ID that the package's INF is built for. Included by the
# kernel build, and run on its own with -P by the tests:
#   cmake -DVEXTORA_HARDWARE_ID=<id> -P package/HardwareId.cmake
set(VEXTORA_HARDWARE_ID_PLACEHOLDER [[USB\VID_xxxx&PID_xxxx]])

function(vextora_check_hardware_id id)
    if(id STREQUAL VEXTORA_HARDWARE_ID_PLACEHOLDER)
        message(STATUS "VEXTORA_HARDWARE_ID is the placeholder ${id}: the package will "
                        "match no device. Configure with -DVEXTORA_HARDWARE_ID=USB\\VID_1234&PID_5678.")
        return()
    endif()
    # USB\VID_vvvv&PID_pppp, optionally &REV_rrrr or &MI_ii (one interface of a
    # composite device). Anything else would break the INF's syntax or match
    # nothing.
    set(hex "[0-9A-Fa-f]")
    set(pattern "^USB\\\\VID_${hex}${hex}${hex}${hex}&PID_${hex}${hex}${hex}${hex}(&REV_${hex}${hex}${hex}${hex}|&MI_${hex}${hex})?$")
    if(NOT id MATCHES "${pattern}")
        message(FATAL_ERROR "VEXTORA_HARDWARE_ID \"${id}\" is not a USB hardware ID of the form "
                            "USB\\VID_vvvv&PID_pppp[&REV_rrrr|&MI_ii] (hexadecimal digits).")
    endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    vextora_check_hardware_id("${VEXTORA_HARDWARE_ID}")
endif()
