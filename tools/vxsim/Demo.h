#pragma once

namespace vx {
extern const char kDemoScenario[];
}
