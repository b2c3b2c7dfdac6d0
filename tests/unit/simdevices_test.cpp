// The simulated device library, loaded in-process from a renamed copy:
// snapshots and their sections, the two-call size protocol, missing
// properties, problem codes, long names and bad handles.
#include <gtest/gtest.h>
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/process_run.h"

namespace {

template <typename F>
F ProcAs(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::string Utf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], n, NULL, NULL);
    return out;
}

const DWORD kAll = DIGCF_ALLCLASSES | DIGCF_PRESENT;

struct Seen {
    std::wstring id, name, cls;
    DEVINST devinst;
};

class SimDevices : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox_.reset(new Sandbox(CurrentTestName(), false));
        SetEnvironmentVariableA("SIMDEVICES_LIST", ListPath().c_str());
        SetEnvironmentVariableA("SIMDEVICES_JOURNAL", sandbox_->JournalPath().c_str());
        module_ = LoadDeviceSimulatorCopy(sandbox_->Dir());
        ASSERT_TRUE(module_ != NULL) << "error " << GetLastError();
        auto info = ProcAs<const char*(WINAPI*)(void)>(module_, "SimDevicesInfo");
        ASSERT_TRUE(info != nullptr);
        ASSERT_STREQ("simdevices", info());
        GetClassDevs = ProcAs<decltype(GetClassDevs)>(module_, "SetupDiGetClassDevsW");
        Enum = ProcAs<decltype(Enum)>(module_, "SetupDiEnumDeviceInfo");
        InstanceId = ProcAs<decltype(InstanceId)>(module_, "SetupDiGetDeviceInstanceIdW");
        Property = ProcAs<decltype(Property)>(module_, "SetupDiGetDeviceRegistryPropertyW");
        Destroy = ProcAs<decltype(Destroy)>(module_, "SetupDiDestroyDeviceInfoList");
        Status = ProcAs<decltype(Status)>(module_, "CM_Get_DevNode_Status");
        ASSERT_TRUE(GetClassDevs && Enum && InstanceId && Property && Destroy && Status);
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
        SetEnvironmentVariableA("SIMDEVICES_LIST", NULL);
        SetEnvironmentVariableA("SIMDEVICES_JOURNAL", NULL);
    }
    std::string ListPath() const { return sandbox_->Path("devices.txt"); }
    void List(const std::string& text) { ASSERT_TRUE(WriteText(ListPath(), text)); }

    // A string property by the two-call protocol; false with the error when it fails.
    bool Read(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property, std::wstring* value, DWORD* error) {
        DWORD required = 0, type = 0;
        if (Property(set, data, property, &type, NULL, 0, &required)) return false;
        *error = GetLastError();
        if (*error != ERROR_INSUFFICIENT_BUFFER) return false;
        std::vector<BYTE> buffer(required);
        if (!Property(set, data, property, &type, buffer.data(), required, &required)) {
            *error = GetLastError();
            return false;
        }
        EXPECT_EQ((DWORD)REG_SZ, type);
        *value = reinterpret_cast<const wchar_t*>(buffer.data());
        return true;
    }
    std::wstring Id(HDEVINFO set, SP_DEVINFO_DATA* data) {
        DWORD required = 0;
        InstanceId(set, data, NULL, 0, &required);
        std::wstring id(required, L'\0');
        if (!InstanceId(set, data, &id[0], required, NULL)) return L"<failed>";
        id.resize(required - 1);
        return id;
    }
    // One snapshot, as the program takes it: friendly name, else description.
    std::vector<Seen> Take() {
        std::vector<Seen> devices;
        HDEVINFO set = GetClassDevs(NULL, NULL, NULL, kAll);
        EXPECT_NE(INVALID_HANDLE_VALUE, set);
        SP_DEVINFO_DATA data = {sizeof(data), {}, 0, 0};
        for (DWORD i = 0; Enum(set, i, &data); ++i) {
            Seen seen{Id(set, &data), L"", L"", data.DevInst};
            DWORD error = 0;
            if (!Read(set, &data, SPDRP_FRIENDLYNAME, &seen.name, &error)) {
                Read(set, &data, SPDRP_DEVICEDESC, &seen.name, &error);
            }
            Read(set, &data, SPDRP_CLASS, &seen.cls, &error);
            devices.push_back(seen);
        }
        EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, GetLastError());
        EXPECT_TRUE(Destroy(set));
        return devices;
    }
    std::vector<std::wstring> Ids(const std::vector<Seen>& devices) {
        std::vector<std::wstring> ids;
        for (const Seen& seen : devices) ids.push_back(seen.id);
        return ids;
    }

    std::unique_ptr<Sandbox> sandbox_;
    HMODULE module_ = NULL;
    HDEVINFO(WINAPI* GetClassDevs)(const GUID*, PCWSTR, HWND, DWORD) = nullptr;
    BOOL(WINAPI* Enum)(HDEVINFO, DWORD, PSP_DEVINFO_DATA) = nullptr;
    BOOL(WINAPI* InstanceId)(HDEVINFO, PSP_DEVINFO_DATA, PWSTR, DWORD, PDWORD) = nullptr;
    BOOL(WINAPI* Property)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD) = nullptr;
    BOOL(WINAPI* Destroy)(HDEVINFO) = nullptr;
    CONFIGRET(WINAPI* Status)(PULONG, PULONG, DEVINST, ULONG) = nullptr;
};

}  // namespace

TEST_F(SimDevices, SectionsSwitchBySnapshotNumberAndTheFileIsReadAgain) {
    List("# before any section: section 1\n"
         "A\\0\tZero\tSystem\t0\n"
         "[1]\r\n"
         "A\\1\tAlpha\tSystem\t0\r\n"
         "\n"
         "[3]\n"
         "B\\1\tBeta\tNet\t0\n"
         "  # indented comment\n"
         "B\\2\tGamma\tNet\t0\n"
         "[ 5 ]\n"
         "generate\t2\n");
    // A one-class query (Wine's own callers) is no snapshot.
    GUID someClass = {0x4d36e972, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    HDEVINFO filtered = GetClassDevs(&someClass, NULL, NULL, DIGCF_PRESENT);
    SP_DEVINFO_DATA data = {sizeof(data), {}, 0, 0};
    EXPECT_FALSE(Enum(filtered, 0, &data));
    EXPECT_TRUE(Destroy(filtered));

    const struct {
        int snapshot;
        std::vector<std::wstring> ids;
    } cases[] = {
        {1, {L"A\\1"}},
        {2, {L"A\\1"}},
        {3, {L"B\\1", L"B\\2"}},
        {4, {L"B\\1", L"B\\2"}},
        {5, {L"SIM\\GEN\\00001", L"SIM\\GEN\\00002"}},
        {6, {L"SIM\\GEN\\00001", L"SIM\\GEN\\00002"}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.ids, Ids(Take())) << "snapshot " << c.snapshot;

    List("[7]\nC\\1\tLater\tUSB\t0\n");
    EXPECT_EQ(std::vector<std::wstring>{L"C\\1"}, Ids(Take()));
    List("[9]\nC\\1\tLater\tUSB\t0\n");
    EXPECT_TRUE(Take().empty()) << "no section in force yet";

    std::vector<std::string> journal = sandbox_->Journal();
    ASSERT_EQ(8u, journal.size());
    EXPECT_EQ("SetupDiGetClassDevsW snapshot=1 devices=1", journal[0]);
    EXPECT_EQ("SetupDiGetClassDevsW snapshot=3 devices=2", journal[2]);
    EXPECT_EQ("SetupDiGetClassDevsW snapshot=8 devices=0", journal[7]);
}

TEST_F(SimDevices, DefaultListWithoutVariableOrWithAnUnreadableFile) {
    for (const char* list : {(const char*)NULL, "Z:\\no\\such\\devices.txt"}) {
        SetEnvironmentVariableA("SIMDEVICES_LIST", list);
        std::vector<Seen> devices = Take();
        ASSERT_EQ(4u, devices.size()) << (list ? list : "no variable");
        std::set<std::wstring> classes;
        for (const Seen& seen : devices) {
            classes.insert(seen.cls);
            EXPECT_FALSE(seen.name.empty());
            ULONG status = 0, problem = 99;
            EXPECT_EQ(CR_SUCCESS, Status(&status, &problem, seen.devinst, 0));
            EXPECT_EQ((ULONG)(DN_STARTED | DN_DRIVER_LOADED), status);
            EXPECT_EQ(0u, problem);
        }
        EXPECT_EQ((std::set<std::wstring>{L"System", L"Net", L"USB"}), classes);
    }
}

TEST_F(SimDevices, TwoCallSizeProtocol) {
    List("ROOT\\PORTS\\0000\tCOM port (COM1)\tPorts\t0\tCommunications Port\n");
    HDEVINFO set = GetClassDevs(NULL, NULL, NULL, kAll);
    SP_DEVINFO_DATA data = {sizeof(data), {}, 0, 0};
    ASSERT_TRUE(Enum(set, 0, &data));

    const wchar_t* expectedId = L"ROOT\\PORTS\\0000";
    DWORD chars = (DWORD)wcslen(expectedId) + 1;
    DWORD required = 0;
    EXPECT_FALSE(InstanceId(set, &data, NULL, 0, &required));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(chars, required) << "characters with the terminating null";
    std::vector<wchar_t> id(chars + 1, L'#');
    EXPECT_FALSE(InstanceId(set, &data, id.data(), chars - 1, &required));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_TRUE(InstanceId(set, &data, id.data(), chars, &required));
    EXPECT_STREQ(expectedId, id.data());
    EXPECT_EQ(L'#', id[chars]) << "written past the size";

    const struct {
        DWORD property;
        const wchar_t* value;
    } cases[] = {
        {SPDRP_FRIENDLYNAME, L"COM port (COM1)"},
        {SPDRP_DEVICEDESC, L"Communications Port"},
        {SPDRP_CLASS, L"Ports"},
    };
    for (const auto& c : cases) {
        DWORD bytes = (DWORD)(wcslen(c.value) + 1) * sizeof(wchar_t);
        DWORD type = 0;
        required = 0;
        EXPECT_FALSE(Property(set, &data, c.property, &type, NULL, 0, &required));
        EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError()) << c.property;
        EXPECT_EQ(bytes, required) << c.property;
        EXPECT_EQ((DWORD)REG_SZ, type);
        std::vector<BYTE> buffer(bytes + 8, 0xCC);
        EXPECT_FALSE(Property(set, &data, c.property, &type, buffer.data(), bytes - 1, &required));
        EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError()) << c.property;
        EXPECT_EQ(0xCC, buffer[0]) << "nothing written to a short buffer";
        EXPECT_TRUE(Property(set, &data, c.property, &type, buffer.data(), bytes, &required));
        EXPECT_STREQ(c.value, reinterpret_cast<const wchar_t*>(buffer.data()));
        EXPECT_EQ(0xCC, buffer[bytes]) << "written past the size";
    }
    EXPECT_TRUE(Destroy(set));
}

TEST_F(SimDevices, MissingPropertiesFailWithInvalidData) {
    List("X\\1\t\t\t0\n"
         "X\\2\t\tNet\t0\tOnly a description\n"
         "X\\3\tBoth\tSystem\t0\n"
         "X\\4\tFriendly\tSystem\t0\tDescribed\n"
         "X\\5\n");
    const struct {
        const wchar_t* friendly;  // nullptr: missing
        const wchar_t* description;
        const wchar_t* cls;
    } cases[] = {
        {nullptr, nullptr, nullptr},
        {nullptr, L"Only a description", L"Net"},
        {L"Both", L"Both", L"System"},
        {L"Friendly", L"Described", L"System"},
        {nullptr, nullptr, nullptr},
    };
    HDEVINFO set = GetClassDevs(NULL, NULL, NULL, kAll);
    SP_DEVINFO_DATA data = {sizeof(data), {}, 0, 0};
    for (DWORD i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        ASSERT_TRUE(Enum(set, i, &data));
        const DWORD properties[] = {SPDRP_FRIENDLYNAME, SPDRP_DEVICEDESC, SPDRP_CLASS};
        const wchar_t* expected[] = {cases[i].friendly, cases[i].description, cases[i].cls};
        for (int p = 0; p < 3; ++p) {
            std::wstring value;
            DWORD error = 0;
            bool found = Read(set, &data, properties[p], &value, &error);
            EXPECT_EQ(expected[p] != nullptr, found) << "device " << i << " property " << properties[p];
            if (expected[p]) {
                EXPECT_EQ(expected[p], value);
            } else {
                EXPECT_EQ((DWORD)ERROR_INVALID_DATA, error);
            }
        }
        DWORD required = 0;
        BYTE buffer[64];
        EXPECT_FALSE(Property(set, &data, SPDRP_HARDWAREID, NULL, buffer, sizeof(buffer), &required));
        EXPECT_EQ((DWORD)ERROR_INVALID_DATA, GetLastError());
    }
    EXPECT_FALSE(Enum(set, 5, &data));
    EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, GetLastError());
    EXPECT_TRUE(Destroy(set));
}

TEST_F(SimDevices, ProblemCodesThroughDevNodeStatusOutliveTheirSnapshot) {
    List("[1]\n"
         "P\\1\tGood\tSystem\t0\n"
         "P\\2\tDisabled\tSystem\t22\n"
         "P\\3\tNo driver\tSystem\t0x1C\n"
         "[2]\n"
         "P\\1\tGood\tSystem\t010\n");
    std::vector<Seen> first = Take();
    std::vector<Seen> second = Take();
    ASSERT_EQ(3u, first.size());
    ASSERT_EQ(1u, second.size());
    EXPECT_NE(first[0].devinst, second[0].devinst);
    const struct {
        DEVINST devinst;
        ULONG status, problem;
    } cases[] = {
        {first[0].devinst, DN_STARTED | DN_DRIVER_LOADED, 0},
        {first[1].devinst, DN_HAS_PROBLEM, 22},
        {first[2].devinst, DN_HAS_PROBLEM, 28},
        {second[0].devinst, DN_HAS_PROBLEM, 10},
    };
    for (const auto& c : cases) {
        ULONG status = 0, problem = 0;
        EXPECT_EQ(CR_SUCCESS, Status(&status, &problem, c.devinst, 0)) << c.devinst;
        EXPECT_EQ(c.status, status) << c.devinst;
        EXPECT_EQ(c.problem, problem) << c.devinst;
    }
    ULONG status = 0, problem = 0;
    for (DEVINST unknown : {(DEVINST)0, (DEVINST)1, second[0].devinst + 1, (DEVINST)0xFFFFFFFF}) {
        EXPECT_EQ(CR_NO_SUCH_DEVNODE, Status(&status, &problem, unknown, 0)) << unknown;
    }
    EXPECT_EQ(CR_INVALID_POINTER, Status(NULL, &problem, first[0].devinst, 0));
}

TEST_F(SimDevices, GeneratesFiveThousandDevices) {
    List("A\\1\tFirst\tSystem\t0\ngenerate\t5000\n");
    std::vector<Seen> devices = Take();
    ASSERT_EQ(5001u, devices.size());
    EXPECT_EQ(L"SIM\\GEN\\00001", devices[1].id);
    EXPECT_EQ(L"Generated device 1", devices[1].name);
    EXPECT_EQ(L"SIM\\GEN\\05000", devices[5000].id);
    EXPECT_EQ(L"Generated device 5000", devices[5000].name);
    EXPECT_EQ(L"System", devices[5000].cls);
    std::set<DEVINST> devinsts;
    for (const Seen& seen : devices) devinsts.insert(seen.devinst);
    EXPECT_EQ(5001u, devinsts.size());
    ULONG status = 0, problem = 1;
    EXPECT_EQ(CR_SUCCESS, Status(&status, &problem, devices[5000].devinst, 0));
    EXPECT_EQ(0u, problem);
    EXPECT_EQ(std::vector<std::string>{"SetupDiGetClassDevsW snapshot=1 devices=5001"}, sandbox_->Journal());
}

TEST_F(SimDevices, LongNonAsciiNamesRoundTrip) {
    // Accents, CJK, a character outside the BMP (a surrogate pair), quotes and markup.
    std::wstring piece = L"Gerät «Ω» \"quoted\" <b>&amp;</b> 日本語 \U0001F600 ";
    std::wstring name;
    while (name.size() < 2000) name += piece;
    // A line longer than any read chunk.
    std::wstring huge(70000, L'é');
    List("LONG\\1\t" + Utf8(name) + "\tÜbrige\t0\n" + "LONG\\2\t" + Utf8(huge) + "\tSystem\t0\n");
    std::vector<Seen> devices = Take();
    ASSERT_EQ(2u, devices.size());
    EXPECT_EQ(name, devices[0].name);
    EXPECT_EQ(L"Übrige", devices[0].cls);
    EXPECT_EQ(huge, devices[1].name);
}

TEST_F(SimDevices, BadHandlesAndForeignDeviceData) {
    List("A\\1\tAlpha\tSystem\t0\n");
    HDEVINFO destroyed = GetClassDevs(NULL, NULL, NULL, kAll);
    SP_DEVINFO_DATA data = {sizeof(data), {}, 0, 0};
    ASSERT_TRUE(Enum(destroyed, 0, &data));
    ASSERT_TRUE(Destroy(destroyed));
    std::set<HDEVINFO> handles{destroyed};
    for (int i = 0; i < 20; ++i) {
        HDEVINFO set = GetClassDevs(NULL, NULL, NULL, kAll);
        EXPECT_TRUE(handles.insert(set).second) << "a handle used again";
        EXPECT_TRUE(Destroy(set));
    }
    for (HDEVINFO bad : {(HDEVINFO)NULL, INVALID_HANDLE_VALUE, (HDEVINFO)0x1234, destroyed}) {
        wchar_t buffer[64];
        DWORD required = 0;
        EXPECT_FALSE(Enum(bad, 0, &data));
        EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError()) << bad;
        EXPECT_FALSE(InstanceId(bad, &data, buffer, 64, &required));
        EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError()) << bad;
        EXPECT_FALSE(Property(bad, &data, SPDRP_CLASS, NULL, (PBYTE)buffer, sizeof(buffer), &required));
        EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError()) << bad;
        EXPECT_FALSE(Destroy(bad));
        EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError()) << bad;
    }
    // Device data of the destroyed list, and of a wrong size, in a live one.
    HDEVINFO set = GetClassDevs(NULL, NULL, NULL, kAll);
    wchar_t buffer[64];
    EXPECT_FALSE(InstanceId(set, &data, buffer, 64, NULL));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    SP_DEVINFO_DATA wrongSize = {sizeof(data) - 4, {}, 0, 0};
    EXPECT_FALSE(Enum(set, 0, &wrongSize));
    EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError());
    EXPECT_TRUE(Destroy(set));
}
