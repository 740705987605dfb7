// RtlQueryRegistryValues over the simulated registry: direct queries by value
// type, defaults, optional and required keys and values, query routines.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "sim/kernel/Registry.h"
#include "sim/kernel/WindowsRelease.h"

namespace {

const char16_t kKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Toy\\Parameters";

class RegistryTest : public ::testing::Test {
protected:
    RegistryTest() : machine_(Options()), scope_(machine_) {}
    ~RegistryTest() override { EXPECT_EQ(machine_.ReportText(), ""); }
    static sim::MachineOptions Options()
    {
        sim::MachineOptions options;
        options.Seed = 7;
        return options;
    }
    sim::Registry &Reg() { return machine_.Component<sim::Registry>(); }

    sim::Machine machine_;
    sim::ThreadScope scope_;
};

RTL_QUERY_REGISTRY_TABLE DirectEntry(const char16_t *name, PVOID destination, ULONG defaultType = REG_NONE,
                                     PVOID defaultData = nullptr, ULONG defaultLength = 0,
                                     ULONG extraFlags = 0)
{
    RTL_QUERY_REGISTRY_TABLE entry{};
    entry.Flags = RTL_QUERY_REGISTRY_DIRECT | extraFlags;
    entry.Name = const_cast<PWSTR>(name);
    entry.EntryContext = destination;
    entry.DefaultType = defaultType;
    entry.DefaultData = defaultData;
    entry.DefaultLength = defaultLength;
    return entry;
}

// One DWORD query per row: what is stored, how the table asks, what comes back.
TEST_F(RegistryTest, DirectDwordQueries)
{
    enum class Stored { Dword, String, Absent, NoKey };
    struct Case {
        const char *Name;
        Stored What;
        ULONG RelativeTo;
        ULONG ExtraFlags;
        bool WithDefault;
        NTSTATUS Expected;
        ULONG ExpectedValue;  // what the destination holds afterwards (starts 0xAAAAAAAA)
    };
    const Case cases[] = {
        {"present dword", Stored::Dword, RTL_REGISTRY_ABSOLUTE, 0, true, STATUS_SUCCESS, 5},
        {"absent value takes the default", Stored::Absent, RTL_REGISTRY_ABSOLUTE, 0, true, STATUS_SUCCESS, 9},
        {"absent value without default untouched", Stored::Absent, RTL_REGISTRY_ABSOLUTE, 0, false, STATUS_SUCCESS, 0xAAAAAAAA},
        {"absent required value", Stored::Absent, RTL_REGISTRY_ABSOLUTE, RTL_QUERY_REGISTRY_REQUIRED, true, STATUS_OBJECT_NAME_NOT_FOUND, 0xAAAAAAAA},
        {"absent key", Stored::NoKey, RTL_REGISTRY_ABSOLUTE, 0, true, STATUS_OBJECT_NAME_NOT_FOUND, 0xAAAAAAAA},
        {"absent optional key", Stored::NoKey, RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, 0, true, STATUS_SUCCESS, 0xAAAAAAAA},
        {"string where a dword is expected", Stored::String, RTL_REGISTRY_ABSOLUTE, 0, true, STATUS_OBJECT_TYPE_MISMATCH, 0xAAAAAAAA},
        {"registry handle unsupported", Stored::Dword, RTL_REGISTRY_HANDLE, 0, true, STATUS_INVALID_PARAMETER, 0xAAAAAAAA},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        Reg().DeleteKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Toy");
        if (c.What == Stored::Dword) {
            Reg().SetDword(kKey, u"Level", 5);
        } else if (c.What == Stored::String) {
            Reg().SetString(kKey, u"Level", u"five");
        } else if (c.What == Stored::Absent) {
            Reg().CreateKey(kKey);
        }
        ULONG value = 0xAAAAAAAA;
        ULONG fallback = 9;
        RTL_QUERY_REGISTRY_TABLE table[2] = {
            DirectEntry(u"level", &value, c.WithDefault ? REG_DWORD : REG_NONE,
                        c.WithDefault ? &fallback : nullptr, c.WithDefault ? sizeof(fallback) : 0,
                        c.ExtraFlags),
            {}};
        EXPECT_EQ(RtlQueryRegistryValues(c.RelativeTo, kKey, table, nullptr, nullptr), c.Expected);
        EXPECT_EQ(value, c.ExpectedValue);
    }
}

TEST_F(RegistryTest, DirectStringGoesIntoAUnicodeString)
{
    Reg().SetString(kKey, u"Name", u"toy device");

    // A caller buffer that is large enough, one that is not, and none.
    WCHAR room[32];
    UNICODE_STRING given{0, sizeof(room), room};
    RTL_QUERY_REGISTRY_TABLE table[2] = {DirectEntry(u"Name", &given), {}};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(given.Buffer, given.Length / 2), u"toy device");
    EXPECT_EQ(given.Buffer[given.Length / 2], 0);

    WCHAR tiny[4];
    UNICODE_STRING small{0, sizeof(tiny), tiny};
    table[0].EntryContext = &small;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);

    UNICODE_STRING allocated{};
    table[0].EntryContext = &allocated;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(allocated.Buffer, allocated.Length / 2), u"toy device");
    // The caller owns it and frees it like any pool string.
    RtlFreeUnicodeString(&allocated);
}

TEST_F(RegistryTest, DirectBinaryUsesTheSizedBuffer)
{
    const uint8_t blob[6] = {1, 2, 3, 4, 5, 6};
    Reg().SetBinary(kKey, u"Blob", blob);

    // Negative size: bare data; positive: length, type, data.
    struct {
        LONG Size;
        uint8_t Data[12];
    } bare{-static_cast<LONG>(sizeof(bare.Data)), {}};
    RTL_QUERY_REGISTRY_TABLE table[2] = {DirectEntry(u"Blob", &bare), {}};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&bare, blob, sizeof(blob)), 0);

    ULONG framed[5] = {sizeof(framed), 0, 0, 0, 0};
    table[0].EntryContext = framed;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(framed[0], sizeof(blob));
    EXPECT_EQ(framed[1], static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(std::memcmp(&framed[2], blob, sizeof(blob)), 0);

    ULONG tooSmall[2] = {sizeof(tooSmall), 0};
    table[0].EntryContext = tooSmall;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
}

struct Seen {
    std::vector<std::u16string> Names;
    std::vector<ULONG> Types;
};

NTSTATUS NTAPI Collect(PWSTR Name, ULONG Type, PVOID, ULONG, PVOID Context, PVOID)
{
    auto *seen = static_cast<Seen *>(Context);
    seen->Names.emplace_back(Name == nullptr ? u"" : Name);
    seen->Types.push_back(Type);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Refuse(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) { return STATUS_ACCESS_DENIED; }

TEST_F(RegistryTest, QueryRoutinesSeeValuesAndStopTheQueryOnFailure)
{
    Reg().SetDword(kKey, u"A", 1);
    const char16_t multi[] = u"one\0two\0";
    Reg().SetValue(kKey, u"M", REG_MULTI_SZ,
                   std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(multi), sizeof(multi)));

    Seen seen;
    RTL_QUERY_REGISTRY_TABLE all[2] = {};
    all[0].QueryRoutine = Collect;  // no name: every value of the key
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Toy\\Parameters", all, &seen, nullptr),
              STATUS_SUCCESS);
    // The multi-string arrives one string at a time.
    EXPECT_EQ(seen.Names, (std::vector<std::u16string>{u"A", u"M", u"M"}));
    EXPECT_EQ(seen.Types, (std::vector<ULONG>{REG_DWORD, REG_SZ, REG_SZ}));

    RTL_QUERY_REGISTRY_TABLE refused[3] = {};
    refused[0].QueryRoutine = Refuse;
    refused[0].Name = const_cast<PWSTR>(u"A");
    refused[1].QueryRoutine = Collect;
    refused[1].Name = const_cast<PWSTR>(u"A");
    Seen after;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, refused, &after, nullptr),
              STATUS_ACCESS_DENIED);
    EXPECT_TRUE(after.Names.empty());
}

TEST_F(RegistryTest, TestApiEditsKeysAndValues)
{
    Reg().SetDword(kKey, u"A", 1);
    EXPECT_TRUE(Reg().KeyExists(u"\\registry\\machine\\system\\currentcontrolset\\services\\toy"));
    EXPECT_TRUE(Reg().DeleteValue(kKey, u"a"));
    EXPECT_FALSE(Reg().GetValue(kKey, u"A").has_value());
    EXPECT_FALSE(Reg().DeleteValue(kKey, u"A"));
    EXPECT_TRUE(Reg().DeleteKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Toy"));
    EXPECT_FALSE(Reg().KeyExists(kKey));
}

TEST_F(RegistryTest, QueryAbovePassiveLevelIsReported)
{
    Reg().SetDword(kKey, u"Level", 5);
    ULONG value = 0;
    RTL_QUERY_REGISTRY_TABLE table[2] = {DirectEntry(u"Level", &value), {}};
    {
        sim::DispatchLevelScope dispatch;
        EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr), STATUS_SUCCESS);
    }
    EXPECT_EQ(machine_.ReportCount(sim::checks::RegistryIrql), 1u);
    machine_.ClearReports();
}

// What IoIsWdmVersionAvailable answers on each release (the driver probes
// 1.20, 1.10, 1.05 and 1.00 in that order).
TEST(WindowsRelease, WdmVersionsAvailable)
{
    struct Case {
        sim::WindowsRelease Release;
        bool V120, V110, V105, V100;
    };
    const Case cases[] = {
        {sim::WindowsRelease::Windows98, false, false, false, true},
        {sim::WindowsRelease::WindowsMe, false, false, true, true},
        {sim::WindowsRelease::Windows2000, false, true, true, true},
        {sim::WindowsRelease::WindowsXP, true, true, true, true},
        {sim::WindowsRelease::WindowsServer2003, true, true, true, true},
    };
    for (const Case &c : cases) {
        sim::MachineOptions options;
        options.Seed = 3;
        sim::Machine machine(sim::ForRelease(options, c.Release));
        sim::ThreadScope scope(machine);
        EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x20) != FALSE, c.V120);
        EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x10) != FALSE, c.V110);
        EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x05) != FALSE, c.V105);
        EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x00) != FALSE, c.V100);
        EXPECT_FALSE(IoIsWdmVersionAvailable(2, 0x00));
    }
}

}  // namespace
