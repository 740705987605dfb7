#include "tools/vxsim/WmiAccess.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <strings.h>

#include "Layout.h"
#include "Mof.h"
#include "sim/kernel/PnpManager.h"
#include "sim/kernel/WmiService.h"

namespace vx {

extern const char kDriverMof[];  // the driver's MOF source, embedded at build time

namespace {

bool ParseGuid(const std::string &text, GUID *guid)
{
    unsigned d1, d2, d3, b[8];
    std::string t = text;
    if (!t.empty() && t.front() == '{')
        t = t.substr(1, t.size() - 2);
    if (std::sscanf(t.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                    &b[4], &b[5], &b[6], &b[7]) != 11)
        return false;
    guid->Data1 = d1;
    guid->Data2 = static_cast<USHORT>(d2);
    guid->Data3 = static_cast<USHORT>(d3);
    for (int i = 0; i < 8; ++i)
        guid->Data4[i] = static_cast<UCHAR>(b[i]);
    return true;
}

ULONG SizeOfType(const std::string &type)
{
    if (type == "uint32" || type == "sint32")
        return 4;
    if (type == "uint16" || type == "sint16")
        return 2;
    if (type == "uint8" || type == "sint8" || type == "boolean")
        return 1;
    return 0;
}

const vxbmof::Qualifier *Find(const std::vector<vxbmof::Qualifier> &qualifiers, const char *name)
{
    for (const auto &q : qualifiers)
        if (strcasecmp(q.name.c_str(), name) == 0)
            return &q;
    return nullptr;
}

std::string DriverClass()
{
    static const std::string name = [] {
        auto decoded = vxbmof::DecodeBmof(vxbmof::CompileMof(kDriverMof));
        return decoded.classes.empty() ? std::string() : decoded.classes.front().name;
    }();
    return name;
}

std::u16string InstanceOf(sim::Machine &machine, PDEVICE_OBJECT pdo)
{
    return machine.Component<sim::PnpManager>().InstanceId(pdo) + u"_0";
}

}  // namespace

void RegisterDriverClasses(sim::Machine &machine)
{
    auto decoded = vxbmof::DecodeBmof(vxbmof::CompileMof(kDriverMof));
    for (const auto &decl : decoded.classes) {
        const vxbmof::Qualifier *guidQualifier = Find(decl.qualifiers, "guid");
        GUID guid{};
        if (guidQualifier == nullptr || !std::holds_alternative<std::string>(guidQualifier->value) ||
            !ParseGuid(std::get<std::string>(guidQualifier->value), &guid))
            throw std::runtime_error("class " + decl.name + " has no usable guid qualifier");
        std::vector<std::pair<int32_t, const vxbmof::Property *>> items;
        for (const auto &property : decl.properties) {
            const vxbmof::Qualifier *id = Find(property.qualifiers, "WmiDataId");
            if (id != nullptr && std::holds_alternative<int32_t>(id->value))
                items.emplace_back(std::get<int32_t>(id->value), &property);
        }
        std::sort(items.begin(), items.end(), [](auto &a, auto &b) { return a.first < b.first; });
        std::vector<sim::WmiService::Property> layout;
        ULONG offset = 0;
        for (const auto &[id, property] : items) {
            ULONG size = SizeOfType(property->typeName);
            if (size == 0)
                throw std::runtime_error("property " + property->name + " has a type this tool cannot lay out");
            offset = (offset + size - 1) / size * size;
            layout.push_back({property->name, static_cast<ULONG>(id), offset, size});
            offset += size;
        }
        machine.Component<sim::WmiService>().RegisterClass(decl.name, guid, std::move(layout));
    }
}

NTSTATUS WmiGet(sim::Machine &machine, PDEVICE_OBJECT pdo, const std::string &property, uint32_t *value)
{
    return machine.Component<sim::WmiService>().QueryProperty(DriverClass(), InstanceOf(machine, pdo), property, value);
}

NTSTATUS WmiSet(sim::Machine &machine, PDEVICE_OBJECT pdo, const std::string &property, uint32_t value)
{
    return machine.Component<sim::WmiService>().SetProperty(DriverClass(), InstanceOf(machine, pdo), property, value);
}

}  // namespace vx
