/* The public header compiled as C, the way an application written in C
 * includes it. */
#include "include/vextora.h"

unsigned int VextoraCodesFromC(unsigned int *codes)
{
    codes[0] = IOCTL_GET_CONFIG_DESCRIPTOR;
    codes[1] = IOCTL_RESET_DEVICE;
    codes[2] = IOCTL_RESET_PIPE;
    codes[3] = IOCTL_CLASS_READ_BLOCK;
    codes[4] = IOCTL_CLASS_READ;
    codes[5] = IOCTL_CLASS_OTHER_WRITE;
    codes[6] = IOCTL_GET_DEVICE_DESCRIPTOR;
    codes[7] = IOCTL_GET_STRING_DESCRIPTOR;
    return 8;
}

const VEXTORA_GUID *VextoraGuidFromC(void)
{
    return &GUID_DEVINTERFACE_VEXTORA;
}

unsigned int VextoraStringRequestSizeFromC(void)
{
    return (unsigned int)sizeof(VEXTORA_STRING_REQUEST);
}
