// The driver package: the INF's structure and contents, and the package
// directories the kernel builds lay out.
#include "Inf.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "vextora_version.h"

namespace vxtest {
namespace {

constexpr std::string_view kPlaceholder = "USB\\VID_xxxx&PID_xxxx";
constexpr std::string_view kInterfaceClass = "{9a655975-1560-4e63-9577-3524a0394d23}";
const char *const kDecorations[] = {"NTx86", "NTamd64"};

std::string ReadText(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

unsigned long Number(const std::string &text)
{
    return std::stoul(text, nullptr, 0);
}

// The install sections that the models sections name, one per decoration
// (the undecorated one is what Windows 2000 reads).
std::vector<std::string> InstallSections(const Inf &inf)
{
    std::vector<std::string> out;
    const InfSection *manufacturer = inf.Find("Manufacturer");
    if (manufacturer == nullptr) {
        return out;
    }
    for (const InfLine &entry : manufacturer->lines) {
        const std::string &base = entry.fields.at(0);
        std::vector<std::pair<std::string, std::string>> models{{base, ""}};
        for (std::size_t i = 1; i < entry.fields.size(); ++i) {
            models.push_back({base + "." + entry.fields[i], "." + entry.fields[i]});
        }
        for (const auto &[name, decoration] : models) {
            const InfSection *section = inf.Find(name);
            if (section == nullptr) {
                continue;
            }
            for (const InfLine &device : section->lines) {
                out.push_back(device.fields.at(0) + decoration);
            }
        }
    }
    return out;
}

// Every section that an entry names exists, each copied file is a source
// disk file on a named disk, and each of the `installs` install sections the
// models sections name has what a function driver's installation needs.
void ExpectReferencesResolve(const Inf &inf, std::size_t installCount = 3)
{
    auto expectSection = [&](const std::string &name, const InfLine &from) {
        EXPECT_TRUE(inf.Has(name)) << "[" << name << "], named on line " << from.line << ", does not exist";
    };

    const InfSection *version = inf.Find("Version");
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(Lower(version->Values("Signature").at(0)), "$windows nt$");
    EXPECT_FALSE(version->Values("ClassGuid").empty());
    EXPECT_FALSE(version->Values("DriverVer").empty());

    // The undecorated models section is the one Windows 2000 reads; an INF
    // for 64-bit Windows, which has decorations only, needs none.
    const InfSection *manufacturer = inf.Find("Manufacturer");
    ASSERT_NE(manufacturer, nullptr);
    for (const InfLine &entry : manufacturer->lines) {
        if (entry.fields.size() == 1 || std::find(entry.fields.begin(), entry.fields.end(), "NTx86") != entry.fields.end()) {
            expectSection(entry.fields.at(0), entry);
        }
        for (std::size_t i = 1; i < entry.fields.size(); ++i) {
            expectSection(entry.fields[0] + "." + entry.fields[i], entry);
        }
    }

    // Generic references: these directives name sections in any section.
    for (const auto &[key, section] : inf.Sections()) {
        for (const InfLine &line : section.lines) {
            const std::string directive = Lower(line.key);
            if (directive == "copyfiles") {
                for (const std::string &field : line.fields) {
                    if (!field.starts_with("@")) {
                        expectSection(field, line);
                    }
                }
            } else if (directive == "addreg" || directive == "delreg" || directive == "delfiles") {
                for (const std::string &field : line.fields) {
                    expectSection(field, line);
                }
            } else if (directive == "addservice") {
                ASSERT_GE(line.fields.size(), 3u);
                expectSection(line.fields[2], line);
                if (line.fields.size() > 3 && !line.fields[3].empty()) {
                    expectSection(line.fields[3], line);
                }
            } else if (directive == "addinterface") {
                ASSERT_GE(line.fields.size(), 3u);
                expectSection(line.fields[2], line);
            }
        }
    }

    std::vector<std::string> installs = InstallSections(inf);
    EXPECT_EQ(installs.size(), installCount);
    for (const std::string &install : installs) {
        SCOPED_TRACE(install);
        EXPECT_TRUE(inf.Has(install));
        EXPECT_TRUE(inf.Has(install + ".Services"));
        EXPECT_TRUE(inf.Has(install + ".HW"));
        EXPECT_TRUE(inf.Has(install + ".Interfaces"));
    }

    const InfSection *disks = inf.Find("SourceDisksNames");
    const InfSection *files = inf.Find("SourceDisksFiles");
    const InfSection *destinations = inf.Find("DestinationDirs");
    ASSERT_NE(disks, nullptr);
    ASSERT_NE(files, nullptr);
    ASSERT_NE(destinations, nullptr);
    for (const InfLine &line : destinations->lines) {
        if (Lower(line.key) != "defaultdestdir") {
            expectSection(line.key, line);
        }
    }
    for (const std::string &install : installs) {
        const InfSection *section = inf.Find(install);
        if (section == nullptr) {
            continue;
        }
        for (const InfLine *copy : section->All("CopyFiles")) {
            for (const std::string &list : copy->fields) {
                const InfSection *copied = inf.Find(list);
                if (copied == nullptr) {
                    continue;
                }
                for (const InfLine &file : copied->lines) {
                    std::vector<std::string> source = files->Values(file.fields.at(0));
                    ASSERT_FALSE(source.empty()) << file.fields[0] << " is not in [SourceDisksFiles]";
                    EXPECT_FALSE(disks->Values(source.at(0)).empty())
                        << file.fields[0] << " is on disk " << source[0] << ", which [SourceDisksNames] lacks";
                }
            }
        }
    }
}

// The service, its registry parameter, the interface and the device's
// security, for every install section.
void ExpectDriverSettings(const Inf &inf)
{
    for (const std::string &install : InstallSections(inf)) {
        SCOPED_TRACE(install);
        const InfSection *services = inf.Find(install + ".Services");
        ASSERT_NE(services, nullptr);
        std::vector<const InfLine *> added = services->All("AddService");
        ASSERT_EQ(added.size(), 1u);
        const std::vector<std::string> &service = added[0]->fields;
        EXPECT_EQ(service.at(0), "VEXTORA");
        EXPECT_EQ(Number(service.at(1)) & 0x2, 0x2u) << "not marked as the function driver";

        const InfSection *settings = inf.Find(service.at(2));
        ASSERT_NE(settings, nullptr);
        EXPECT_EQ(Number(settings->Values("ServiceType").at(0)), 1u);   // kernel driver
        EXPECT_EQ(Number(settings->Values("StartType").at(0)), 3u);     // demand start
        EXPECT_EQ(Number(settings->Values("ErrorControl").at(0)), 1u);  // normal
        EXPECT_EQ(Lower(settings->Values("ServiceBinary").at(0)), "%12%\\vextora.sys");

        bool enableWritten = false;
        for (const InfLine *reg : settings->All("AddReg")) {
            for (const std::string &list : reg->fields) {
                const InfSection *section = inf.Find(list);
                ASSERT_NE(section, nullptr);
                for (const InfLine &value : section->lines) {
                    const std::vector<std::string> &f = value.fields;
                    if (f.size() >= 3 && Lower(f[2]) == "vextoraenable") {
                        ASSERT_EQ(f.size(), 5u);
                        EXPECT_EQ(Lower(f[0]), "hkr");  // the service key
                        EXPECT_EQ(Lower(f[1]), "parameters");
                        EXPECT_EQ(Number(f[3]), 0x00010001u);  // REG_DWORD
                        EXPECT_EQ(Number(f[4]), 0u);           // off
                        enableWritten = true;
                    }
                }
            }
        }
        EXPECT_TRUE(enableWritten) << "no AddReg of the service writes VextoraEnable";

        const InfSection *interfaces = inf.Find(install + ".Interfaces");
        ASSERT_NE(interfaces, nullptr);
        std::vector<std::string> addInterface = interfaces->Values("AddInterface");
        ASSERT_FALSE(addInterface.empty());
        EXPECT_EQ(Lower(addInterface[0]), kInterfaceClass);

        const InfSection *hardware = inf.Find(install + ".HW");
        ASSERT_NE(hardware, nullptr);
        std::string sddl;
        for (const std::string &list : hardware->Values("AddReg")) {
            const InfSection *section = inf.Find(list);
            ASSERT_NE(section, nullptr);
            for (const InfLine &value : section->lines) {
                if (value.fields.size() == 5 && Lower(value.fields[0]) == "hkr" && value.fields[1].empty() &&
                    Lower(value.fields[2]) == "security") {
                    sddl = value.fields[4];
                }
            }
        }
        // A protected DACL granting only the system, administrators and
        // interactive users; only the first two get full access.
        ASSERT_TRUE(sddl.starts_with("D:P")) << sddl;
        std::regex ace(R"(\(A;;([A-Z]+);;;([A-Z]+)\))");
        std::set<std::string> trustees;
        std::string rest = sddl.substr(3);
        for (std::smatch m; std::regex_search(rest, m, ace); rest = m.suffix()) {
            EXPECT_EQ(m.prefix().str(), "") << "unexpected text in " << sddl;
            const std::string rights = m[1];
            const std::string sid = m[2];
            trustees.insert(sid);
            EXPECT_TRUE(sid == "SY" || sid == "BA" || sid == "IU") << sid << " is granted access";
            if (sid == "IU") {
                EXPECT_EQ(rights.find("GA"), std::string::npos) << "interactive users get full access";
            }
        }
        EXPECT_EQ(rest, "") << "unparsed text in " << sddl;
        EXPECT_EQ(trustees, (std::set<std::string>{"SY", "BA", "IU"}));
    }
}

// The hardware IDs of every models section; all the same.
std::string HardwareId(const Inf &inf)
{
    std::set<std::string> ids;
    const InfSection *manufacturer = inf.Find("Manufacturer");
    if (manufacturer == nullptr) {
        return {};
    }
    for (const InfLine &entry : manufacturer->lines) {
        std::vector<std::string> names{entry.fields.at(0)};
        for (std::size_t i = 1; i < entry.fields.size(); ++i) {
            names.push_back(entry.fields[0] + "." + entry.fields[i]);
        }
        for (const std::string &name : names) {
            if (const InfSection *models = inf.Find(name)) {
                for (const InfLine &device : models->lines) {
                    for (std::size_t i = 1; i < device.fields.size(); ++i) {
                        ids.insert(device.fields[i]);
                    }
                }
            }
        }
    }
    EXPECT_EQ(ids.size(), 1u) << "the models sections disagree on the hardware ID";
    return ids.empty() ? std::string() : *ids.begin();
}

TEST(PackageInf, SourceIsCompleteAndConsistent)
{
    const std::string text = ReadText(VEXTORA_INF_SOURCE);
    ASSERT_FALSE(text.empty()) << VEXTORA_INF_SOURCE;
    const Inf inf = Inf::Parse(text);
    ExpectReferencesResolve(inf);
    ExpectDriverSettings(inf);
    EXPECT_EQ(HardwareId(inf), kPlaceholder);

    // Both architectures are decorated in [Manufacturer].
    std::vector<std::string> decorations = inf.Find("Manufacturer")->lines.at(0).fields;
    for (const char *decoration : kDecorations) {
        EXPECT_NE(std::find(decorations.begin(), decorations.end(), decoration), decorations.end()) << decoration;
    }
}

TEST(PackageInf, ChecksCatchBrokenInfs)
{
    // The same checks, on copies of the INF with one fault each.
    const std::string good = ReadText(VEXTORA_INF_SOURCE);
    struct Case {
        const char *name;
        std::string from;
        std::string to;
    } cases[] = {
        {"missing service section", "[Vextora.Service]", "[Vextora.Srv]"},
        {"amd64 not decorated", "Vextora.Models, NTx86, NTamd64", "Vextora.Models, NTx86"},
        {"service auto start", "StartType     = 3", "StartType     = 2"},
        {"enable on by default", "VextoraEnable,0x00010001,0", "VextoraEnable,0x00010001,1"},
        {"everyone allowed", "(A;;GRGW;;;IU)", "(A;;GRGW;;;WD)"},
        {"copied file not on a disk", "vextora.sys = 1", "vextora.bin = 1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string bad = good;
        std::size_t at = bad.find(c.from);
        ASSERT_NE(at, std::string::npos);
        bad.replace(at, c.from.size(), c.to);
        testing::TestPartResultArray failures;
        {
            testing::ScopedFakeTestPartResultReporter reporter(
                testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
            const Inf inf = Inf::Parse(bad);
            ExpectReferencesResolve(inf);
            ExpectDriverSettings(inf);
            for (const char *decoration : kDecorations) {
                EXPECT_TRUE(inf.Has("Vextora.Models." + std::string(decoration)));
                const std::vector<std::string> listed = inf.Find("Manufacturer")->lines.at(0).fields;
                EXPECT_NE(std::find(listed.begin(), listed.end(), decoration), listed.end());
            }
        }
        EXPECT_GT(failures.size(), 0) << "the fault went unnoticed";
    }
}

TEST(InfReader, QuotingContinuationAndErrors)
{
    const Inf inf = Inf::Parse("[A]\nkey = \"x, \"\"y\"\" ; z\" , %S% ; comment\n"
                               "long = one,\\\n  two\n[Strings]\nS = \"sub\"\n");
    EXPECT_EQ(inf.Find("a")->Values("KEY"), (std::vector<std::string>{"x, \"y\" ; z", "sub"}));
    EXPECT_EQ(inf.Find("A")->Values("long"), (std::vector<std::string>{"one", "two"}));

    const char *bad[] = {
        "[A]\nkey = %Missing%\n",
        "[A]\nkey = \"open\n",
        "[A]\n[a]\n",
        "key = 1\n",
        "[A\n",
    };
    for (const char *text : bad) {
        SCOPED_TRACE(text);
        EXPECT_THROW(Inf::Parse(text), std::runtime_error);
    }
}

struct BuiltPackage {
    const char *directory;
    std::uint16_t machine;  // IMAGE_FILE_MACHINE_I386 / _AMD64
    const char *decoration;  // the one [Manufacturer] lists
    const char *other;       // the other architecture's, found nowhere
    std::vector<std::string> models;  // every models section
};

// Line ends are CRLF, and only CRLF.
void ExpectCrlf(const std::filesystem::path &path)
{
    const std::string text = ReadText(path);
    ASSERT_FALSE(text.empty()) << path;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << path << ": a bare LF at offset " << i;
        } else if (text[i] == '\r') {
            ASSERT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << path << ": a bare CR at offset " << i;
        }
    }
}

// DriverVer is the date the build wrote the INF and the project's version.
void ExpectDriverVer(const Inf &inf, const std::filesystem::path &path)
{
    const std::vector<std::string> driverVer = inf.Find("Version")->Values("DriverVer");
    ASSERT_EQ(driverVer.size(), 2u);
    EXPECT_EQ(driverVer[1], VEXTORA_VERSION_QUAD);
    std::smatch date;
    ASSERT_TRUE(std::regex_match(driverVer[0], date, std::regex(R"((\d\d)/(\d\d)/(\d{4}))"))) << driverVer[0];
    if (std::getenv("SOURCE_DATE_EPOCH") != nullptr) {
        return;  // a reproducible build's date, not the file's
    }
    // The INF is rewritten whenever its text changes, so it was last written
    // on the day it names.
    const auto written = std::chrono::file_clock::to_sys(std::filesystem::last_write_time(path));
    const std::chrono::year_month_day day{std::chrono::floor<std::chrono::days>(written)};
    char expected[16];
    std::snprintf(expected, sizeof expected, "%02u/%02u/%04d", static_cast<unsigned>(day.month()),
                  static_cast<unsigned>(day.day()), static_cast<int>(day.year()));
    EXPECT_EQ(driverVer[0], expected) << "DriverVer does not carry the build date";
}

class PackageLayout : public testing::TestWithParam<BuiltPackage> {};

TEST_P(PackageLayout, HoldsTheImageAndTheInfOfItsArchitecture)
{
    const BuiltPackage &built = GetParam();
    const std::filesystem::path directory = built.directory;
    if (!std::filesystem::exists(directory / "vextora.inf")) {
        const char *ci = std::getenv("CI");
        if (ci != nullptr && std::string_view(ci) == "true") {
            FAIL() << directory << " is missing; the kernel presets must be built before the tests";
        }
        GTEST_SKIP() << directory << " not built (build the win-x86 and win-x64 presets first)";
    }
    const Inf inf = Inf::Parse(ReadText(directory / "vextora.inf"));
    ExpectReferencesResolve(inf, built.models.size());
    ExpectDriverSettings(inf);
    ExpectDriverVer(inf, directory / "vextora.inf");
    ExpectCrlf(directory / "vextora.inf");
    ExpectCrlf(directory / "README.txt");

    // Only this architecture's models: a 64-bit system must not be offered
    // the 32-bit image, nor the other way round.
    EXPECT_EQ(inf.Find("Manufacturer")->lines.at(0).fields,
              (std::vector<std::string>{"Vextora.Models", built.decoration}));
    std::vector<std::string> models;
    for (const auto &[key, section] : inf.Sections()) {
        EXPECT_EQ(Lower(section.name).find(Lower(built.other)), std::string::npos) << "[" << section.name << "]";
        if (key.rfind("vextora.models", 0) == 0) {
            models.push_back(section.name);
        }
    }
    EXPECT_EQ(models, built.models);

    const std::string id = HardwareId(inf);
    EXPECT_TRUE(id == kPlaceholder ||
                std::regex_match(id, std::regex(R"(USB\\VID_[0-9A-Fa-f]{4}&PID_[0-9A-Fa-f]{4}(&REV_[0-9A-Fa-f]{4}|&MI_[0-9A-Fa-f]{2})?)")))
        << id;

    // Every file the INF copies is in the directory; the image is for this
    // package's processor.
    for (const InfLine &file : inf.Find("Vextora.CopyFiles")->lines) {
        EXPECT_TRUE(std::filesystem::exists(directory / file.fields.at(0))) << file.fields[0];
    }
    const std::string image = ReadText(directory / "vextora.sys");
    ASSERT_GT(image.size(), 0x40u);
    ASSERT_EQ(image.substr(0, 2), "MZ");
    std::uint32_t pe;
    std::memcpy(&pe, image.data() + 0x3C, 4);
    ASSERT_LT(pe + 6u, image.size());
    ASSERT_EQ(image.substr(pe, 4), std::string("PE\0\0", 4));
    std::uint16_t machine;
    std::memcpy(&machine, image.data() + pe + 4, 2);
    EXPECT_EQ(machine, built.machine);
}

INSTANTIATE_TEST_SUITE_P(
    KernelBuilds, PackageLayout,
    testing::Values(BuiltPackage{VEXTORA_PACKAGE_X86, 0x014C, "NTx86", "NTamd64",
                                 {"Vextora.Models", "Vextora.Models.NTx86"}},
                    BuiltPackage{VEXTORA_PACKAGE_X64, 0x8664, "NTamd64", "NTx86", {"Vextora.Models.NTamd64"}}));

}  // namespace
}  // namespace vxtest
