// The DDK's side of the layout table: compiled by mingw-w64 for x64 against
// the DDK headers (with the driver's own headers, as vextora.sys is), never
// linked. CMake copies the section below out of the object file.
#include "driver/DeviceExtension.h"
#include "tests/ddk-layout/LayoutRecord.h"

extern "C" __attribute__((section(".vxlayout"), used)) const ddklayout::Record VxDdkLayout[] = {
#include "tests/ddk-layout/Fields.inc"
};
