// vextora's names on the simulated machine, for every rig, fixture and test
// that loads it or writes its parameters.
#pragma once

namespace vx {

inline constexpr char16_t kVextoraDriverName[] = u"\\Driver\\VEXTORA";
inline constexpr char16_t kVextoraServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VEXTORA";
inline constexpr char16_t kVextoraParametersKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VEXTORA\\Parameters";

}  // namespace vx
