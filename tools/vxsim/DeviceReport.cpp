#include "tools/vxsim/DeviceReport.h"

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>

#include "driver/Driver.h"
#include "include/vextora.h"
#include "pnp/DescriptorCheck.h"
#include "sim/usb/DeviceDescription.h"
#include "tools/common/DescriptorText.h"
#include "sim/rig/MachineRig.h"
#include "tools/common/Requests.h"
#include "tools/common/StatusNames.h"

namespace vx {
namespace {

struct PipeReport {
    unsigned index;
    unsigned endpoint;
    std::string type;
    unsigned maxPacketSize;
    unsigned interval;
};

struct Report {
    bool started = false;
    int32_t status = 0;
    bool remoteWake = false;
    bool haveInterface = false;
    unsigned number = 0, alternateSetting = 0, klass = 0, subClass = 0, protocol = 0;
    std::vector<PipeReport> pipes;
    std::map<unsigned, std::string> strings;
    std::string error;
    std::vector<std::string> notes;  // what the report would otherwise leave unexplained
};

// The driver's verdict on a configuration descriptor, said with what and
// where, from the same check the driver runs.
std::string ExplainConfiguration(const std::vector<uint8_t> &bytes)
{
    using DescriptorCheck::Verdict;
    DescriptorCheck::ConfigurationHeader header{};
    const auto size = static_cast<unsigned>(bytes.size());
    const Verdict verdict = DescriptorCheck::CheckConfiguration(bytes.data(), size, size, &header);
    switch (verdict) {
    case Verdict::Valid: return {};
    case Verdict::NoInterfaces: return "the configuration descriptor's bNumInterfaces (offset 4) is 0";
    case Verdict::MissingInterfaces: {
        std::string found;
        unsigned count = 0;
        const auto config = vextora::usb::ParseConfiguration(bytes);
        for (const auto &iface : config.Interfaces)
            if (iface.AlternateSetting == 0) {
                ++count;
                found += (found.empty() ? "" : ", ") + std::to_string(iface.Number) + " at offset " +
                         std::to_string(iface.Offset);
            }
        return "the configuration descriptor's bNumInterfaces (offset 4) is " + std::to_string(bytes[4]) + ", but " +
               std::to_string(count) + " interface(s) have an alternate setting 0" +
               (found.empty() ? std::string() : " (interface " + found + ")");
    }
    case Verdict::BadHeader:
        return "the configuration descriptor's header (offset 0) has a bLength below 9 or another type";
    case Verdict::TotalLengthTooSmall:
        return "the configuration descriptor's wTotalLength (offset 2) is below its bLength";
    case Verdict::BadDescriptorLength:
        return "a descriptor inside the configuration has a bLength of 0 or 1, or runs past wTotalLength";
    case Verdict::ShortInterfaceOrEndpoint:
        return "an interface or endpoint descriptor inside the configuration is shorter than its fixed size";
    case Verdict::MissingEndpoints:
        return "an interface descriptor announces more endpoints (bNumEndpoints) than follow it";
    case Verdict::ShortTransfer:
    case Verdict::TotalLengthChanged:
        return "the device returned a different configuration descriptor on the second read";
    }
    return {};
}

const char *PipeTypeName(unsigned attributes)
{
    static const char *names[] = {"control", "isochronous", "bulk", "interrupt"};
    return names[attributes & 3];
}

// What the driver holds after the start: its copy of the first interface as
// the bus filled it at selection, the remote wake-up flag it derived, and the
// strings read through its control requests.
void ReadBack(vxio::DeviceIo &io, PDEVICE_OBJECT fdo, const std::u16string &link, Report &report)
{
    const DeviceExtension *extension = ExtensionOf(fdo);
    report.remoteWake = extension->RemoteWakeSupported != 0;
    if (const USBD_INTERFACE_INFORMATION *info = extension->InterfaceInfo) {
        report.haveInterface = true;
        report.number = info->InterfaceNumber;
        report.alternateSetting = info->AlternateSetting;
        report.klass = info->Class;
        report.subClass = info->SubClass;
        report.protocol = info->Protocol;
        for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
            const USBD_PIPE_INFORMATION &pipe = info->Pipes[i];
            report.pipes.push_back({static_cast<unsigned>(i), pipe.EndpointAddress,
                                    PipeTypeName(static_cast<unsigned>(pipe.PipeType)), pipe.MaximumPacketSize,
                                    pipe.Interval});
        }
    }
    vxio::Handle device = vxio::kInvalidHandle;
    if (io.Open(link, u"", &device) < 0)
        return;
    ControlAnswer languages = Control(io, device, IOCTL_GET_STRING_DESCRIPTOR, StringRequest(0, 0), 255);
    uint16_t language = 0x0409;
    if (languages.status >= 0 && languages.output.size() >= 4)
        language = static_cast<uint16_t>(languages.output[2] | (languages.output[3] << 8));
    ControlAnswer deviceDescriptor = Control(io, device, IOCTL_GET_DEVICE_DESCRIPTOR, {}, 18);
    if (deviceDescriptor.status >= 0 && deviceDescriptor.output.size() == 18) {
        for (unsigned i : {deviceDescriptor.output[14], deviceDescriptor.output[15], deviceDescriptor.output[16]}) {
            if (i == 0 || report.strings.count(i))
                continue;
            ControlAnswer s =
                Control(io, device, IOCTL_GET_STRING_DESCRIPTOR, StringRequest(static_cast<uint8_t>(i), language), 255);
            if (s.status >= 0 && s.output.size() >= 2)
                report.strings[i] = Utf16LeToUtf8(std::span(s.output).subspan(2));
            else
                report.notes.push_back("string " + std::to_string(i) +
                                       " (named by the device descriptor) could not "
                                       "be read: " +
                                       StatusName(s.status));
        }
    }
    io.Close(device);
}

void PrintText(const std::string &path, uint64_t seed, const Report &r, std::ostream &out)
{
    out << path << " (seed " << seed << ")\n";
    out << "  start: " << (r.started ? "started" : "refused") << " (" << StatusName(r.status) << ")\n";
    if (!r.started) {
        out << "  " << r.error << "\n";
        return;
    }
    out << "  remote wake-up: " << (r.remoteWake ? "yes" : "no") << "\n";
    char line[256];
    std::snprintf(line, sizeof line,
                  "  first interface: number %u, alternate setting %u, class 0x%02X, subclass 0x%02X, protocol "
                  "0x%02X\n",
                  r.number, r.alternateSetting, r.klass, r.subClass, r.protocol);
    out << line;
    for (const auto &p : r.pipes) {
        std::string name = p.index < VEXTORA_PIPE_SLOT_LIMIT ? "\\" + ToUtf8(PipeFileName(p.index))
                                                             : std::string("(cannot be opened: index above 5)");
        std::snprintf(line, sizeof line, "  pipe %u: endpoint 0x%02X %-11s max packet %4u interval %3u  %s\n", p.index,
                      p.endpoint, p.type.c_str(), p.maxPacketSize, p.interval, name.c_str());
        out << line;
    }
    for (const auto &[index, text] : r.strings)
        out << "  string " << index << ": " << QuoteText(text) << "\n";
    for (const auto &note : r.notes)
        out << "  note: " << note << "\n";
}

void PrintJson(uint64_t seed, const Report &r, std::ostream &out)
{
    nlohmann::ordered_json j;
    j["seed"] = seed;
    char status[16];
    std::snprintf(status, sizeof status, "0x%08X", static_cast<uint32_t>(r.status));
    j["started"] = r.started;
    j["status"] = status;
    j["remoteWake"] = r.remoteWake;
    if (r.started && r.haveInterface) {
        j["interface"] = {{"number", r.number},
                          {"alternateSetting", r.alternateSetting},
                          {"class", r.klass},
                          {"subClass", r.subClass},
                          {"protocol", r.protocol}};
    } else {
        j["interface"] = nullptr;
    }
    j["pipes"] = nlohmann::json::array();
    for (const auto &p : r.pipes)
        j["pipes"].push_back({{"index", p.index},
                              {"endpoint", p.endpoint},
                              {"type", p.type},
                              {"maxPacketSize", p.maxPacketSize},
                              {"interval", p.interval}});
    j["strings"] = nlohmann::json::object();
    for (const auto &[index, text] : r.strings)
        j["strings"][std::to_string(index)] = text;
    if (!r.started)
        j["error"] = r.error;
    j["notes"] = r.notes;
    out << j.dump(2) << "\n";
}

// A first interface without endpoints at the alternate setting the driver
// selects (0) gives no pipes; say where its endpoints are.
void NoteAlternateSettings(const std::vector<uint8_t> &bytes, Report &report)
{
    std::string others;
    for (const auto &iface : vextora::usb::ParseConfiguration(bytes).Interfaces)
        if (iface.Number == report.number && iface.AlternateSetting != 0 && !iface.Endpoints.empty())
            others += (others.empty() ? "" : ", ") + std::to_string(iface.AlternateSetting) + " has " +
                      std::to_string(iface.Endpoints.size()) + " endpoint(s)";
    report.notes.push_back("no pipes: interface " + std::to_string(report.number) +
                           " has no endpoints at alternate setting 0, the one the driver selects" +
                           (others.empty() ? std::string() : "; alternate setting " + others));
}

}  // namespace

int Inspect(const std::string &path, bool json, uint64_t seed, std::ostream &out, std::ostream &err,
            std::shared_ptr<const sim::image::ImageFile> image)
{
    vextora::usb::DeviceDescription description;
    try {
        description = vextora::usb::LoadDeviceDescription(path);
    } catch (const std::exception &e) {
        if (json) {
            nlohmann::ordered_json j;
            j["started"] = false;
            j["status"] = nullptr;
            j["error"] = e.what();
            out << j.dump(2) << "\n";
        }
        err << "vxsim inspect: " << e.what() << "\n";
        return 2;
    }

    // The model checks the descriptors: a description it refuses needs no
    // machine.
    std::unique_ptr<vextora::usb::DeviceModel> model;
    try {
        model = vextora::usb::MakeModel(description);
    } catch (const std::exception &e) {
        err << "vxsim inspect: " << path << ": " << e.what() << "\n";
        return 2;
    }

    Report report;
    {
        RigOptions options;
        options.Machine.Seed = seed;
        options.Image = std::move(image);
        MachineRig rig(options);
        auto &pnp = rig.Pnp();
        auto &port = rig.Plug(std::move(model));
        for (const auto &record : pnp.History(port.Pdo()))
            if (record.Minor == IRP_MN_START_DEVICE)
                report.status = record.Status;
        report.started = pnp.State(port.Pdo()) == sim::NodeState::Started && !rig.Link().empty();
        if (report.started)
            ReadBack(rig.Io(), pnp.FunctionDevice(port.Pdo()), rig.Link(), report);
        else
            report.error = "the driver refused to start the device with " + StatusName(report.status);
        if (!report.started && report.status == static_cast<int32_t>(STATUS_DEVICE_DATA_ERROR)) {
            const std::string why = ExplainConfiguration(description.Descriptors.Configuration);
            if (!why.empty())
                report.error += ": " + why;
        }
        pnp.Remove(port.Pdo());
        pnp.WaitIdle();
        std::string reports = rig.Shutdown();
        if (!reports.empty()) {
            err << reports;
            return 1;
        }
    }
    if (!description.Descriptors.Strings.empty() && !description.Descriptors.Strings.count(0))
        report.notes.push_back("the device has no string 0 (LANGID list): it answers its strings in any language, as "
                               "devices without one do");
    if (report.started && report.haveInterface && report.pipes.empty())
        NoteAlternateSettings(description.Descriptors.Configuration, report);
    if (json)
        PrintJson(seed, report, out);
    else
        PrintText(path, seed, report, out);
    return report.started ? 0 : 1;
}

}  // namespace vx
