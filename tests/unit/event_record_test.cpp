// One event-log record into log lines: type names, times, insertion strings,
// descriptions from a registered message DLL, and malformed records.
#include <gtest/gtest.h>
#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>
#include "eventmsg/event_fixture.h"

namespace {

using fakelog::BuildRecord;

// The bytes end at a page that can't be read: reading past them faults.
struct Guarded {
    explicit Guarded(const std::vector<BYTE>& bytes) {
        size_t pages = (bytes.size() + 4095) / 4096 + 1;
        base = (BYTE*)VirtualAlloc(nullptr, pages * 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        DWORD old;
        VirtualProtect(base + (pages - 1) * 4096, 4096, PAGE_NOACCESS, &old);
        data = base + (pages - 1) * 4096 - bytes.size();
        memcpy(data, bytes.data(), bytes.size());
    }
    ~Guarded() { VirtualFree(base, 0, MEM_RELEASE); }
    BYTE* base;
    BYTE* data;
};

void SetField(std::vector<BYTE>& record, size_t offset, DWORD value, size_t size = 4) {
    memcpy(record.data() + offset, &value, size);
}

std::string Description(const char* source, DWORD id, const std::vector<std::string>& strings) {
    std::vector<BYTE> record = BuildRecord(id, EVENTLOG_INFORMATION_TYPE, source, strings);
    EventInserts inserts;
    ReadEventInserts(record.data(), (DWORD)record.size(), &inserts);
    char out[EVENT_TEXT_SIZE];
    GetEventDescription("System", source, id, inserts.args, out, sizeof(out));
    return out;
}

class EventRecordTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(fakelog::RegisterTestSources()); }
    static void TearDownTestSuite() { fakelog::UnregisterTestSources(); }
    fakelog::LogCapture capture;
};

}  // namespace

TEST(EventTypeNames, KnownTypesAndEmptyForTheRest) {
    const struct {
        int type;
        const char* name;
    } cases[] = {{1, "Error"}, {2, "Warning"}, {4, "Information"}, {8, "Audit success"}, {16, "Audit failure"},
                 {0, ""},      {3, ""},        {32, ""},            {0xFFFF, ""}};
    for (const auto& c : cases) {
        char name[64] = "stale";
        EventTypeName(c.type, name, sizeof(name));
        EXPECT_STREQ(c.name, name) << c.type;
    }
}

TEST(EventTime, GeneratedSecondsInTheLocalZone) {
    char saved[64] = "";
    DWORD hadZone = GetEnvironmentVariableA("TZ", saved, sizeof(saved));
    char text[32];
    _putenv("TZ=UTC0");
    _tzset();
    FormatEventTime(0, text, sizeof(text));
    EXPECT_STREQ("1970-01-01 00:00:00", text);
    FormatEventTime(951782399, text, sizeof(text));  // the eve of a leap day
    EXPECT_STREQ("2000-02-28 23:59:59", text);
    _putenv("TZ=EST5");
    _tzset();
    FormatEventTime(951782400, text, sizeof(text));
    EXPECT_STREQ("2000-02-28 19:00:00", text);
    // Beyond what the C library's time can hold: empty, not garbage.
    FormatEventTime(0xFFFFFFFFu, text, sizeof(text));
    EXPECT_TRUE(text[0] == '\0' || strncmp(text, "2106-02-0", 9) == 0) << text;
    _putenv(hadZone ? (std::string("TZ=") + saved).c_str() : "TZ=");
    _tzset();
}

TEST(EventRecordLayout, LengthMustCoverTheFixedPartAndStayInside) {
    std::vector<BYTE> record = BuildRecord(100, 4, "Src", {"a"});
    DWORD size = (DWORD)record.size();
    EXPECT_EQ(size, CheckEventRecordLength(record.data(), size));
    EXPECT_EQ(0u, CheckEventRecordLength(record.data(), size - 1));
    EXPECT_EQ(0u, CheckEventRecordLength(record.data(), 40));
    SetField(record, 0, 0);
    EXPECT_EQ(0u, CheckEventRecordLength(record.data(), size));
    SetField(record, 0, sizeof(EVENTLOGRECORD) - 1);
    EXPECT_EQ(0u, CheckEventRecordLength(record.data(), size));
}

TEST(EventRecordLayout, InsertsAreCutAndNeverReadOutsideTheRecord) {
    std::vector<BYTE> record = BuildRecord(100, 4, "Src", {std::string(600, 'x'), "%%1234", "%%"});
    EventInserts inserts;
    {
        Guarded copy(record);
        ReadEventInserts(copy.data, (DWORD)record.size(), &inserts);
    }
    ASSERT_EQ(3, inserts.count);
    EXPECT_EQ(std::string(511, 'x'), inserts.args[0]);
    EXPECT_STREQ("%%1234", inserts.args[1]);
    EXPECT_STREQ("%%", inserts.args[2]);
    EXPECT_EQ(1, inserts.hasParameterInserts);
    EXPECT_STREQ("", inserts.args[3]);
    EXPECT_STREQ("", inserts.args[EVENT_INSERT_ARGS - 1]);

    // A lying NumStrings, with the last string running into the record's
    // end: the copy stops there (the guard page faults on any byte beyond).
    std::vector<BYTE> lying = BuildRecord(100, 4, "Src", {"first", "second"});
    EVENTLOGRECORD header;
    memcpy(&header, lying.data(), sizeof(header));
    lying.resize(header.StringOffset + 6 + 6);  // ends in "second", without terminator
    SetField(lying, 0, (DWORD)lying.size());
    SetField(lying, offsetof(EVENTLOGRECORD, NumStrings), 9, 2);
    Guarded bad(lying);
    ReadEventInserts(bad.data, (DWORD)lying.size(), &inserts);
    EXPECT_EQ(2, inserts.count);
    EXPECT_STREQ("first", inserts.args[0]);
    EXPECT_STREQ("second", inserts.args[1]);
    EXPECT_EQ(0, inserts.hasParameterInserts);

    // Offsets outside the strings' place give no strings at all; 20 strings give none.
    for (DWORD offset : {(DWORD)lying.size(), (DWORD)lying.size() + 100, (DWORD)8}) {
        SetField(lying, offsetof(EVENTLOGRECORD, StringOffset), offset);
        Guarded moved(lying);
        ReadEventInserts(moved.data, (DWORD)lying.size(), &inserts);
        EXPECT_EQ(0, inserts.count) << offset;
    }
    std::vector<BYTE> twenty = BuildRecord(100, 4, "Src", std::vector<std::string>(20, "%%1234"));
    ReadEventInserts(twenty.data(), (DWORD)twenty.size(), &inserts);
    EXPECT_EQ(0, inserts.count);
    EXPECT_EQ(0, inserts.hasParameterInserts);
}

TEST_F(EventRecordTest, DescriptionsFromTheMessageFile) {
    EXPECT_EQ("Drive C: was moved to D:.", Description(fakelog::kTestSource, 100, {"C:", "D:"}));
    // The whole identifier, severity and facility bits included, finds the message.
    EXPECT_EQ("Inserts [a][b][]", Description(fakelog::kTestSource, 0xC1230065, {"a", "b"}));
    EXPECT_EQ("Inserts [][][]", Description(fakelog::kTestSource, 0xC1230065, std::vector<std::string>(20, "s")));
    // An insert far beyond the strings reads an empty text, not what lies past the array.
    EXPECT_EQ("Far insert [x][]", Description(fakelog::kTestSource, 106, {"x"}));
    // A 64-byte value is read; one byte more and it counts as missing.
    EXPECT_EQ("Drive a was moved to b.", Description(fakelog::kValue64Source, 100, {"a", "b"}));
    EXPECT_EQ("", Description(fakelog::kValue65Source, 100, {"a", "b"}));
    char expanded[MAX_PATH];
    ExpandEnvironmentStringsA(fakelog::PaddedDllValue(65).c_str(), expanded, sizeof(expanded));
    HMODULE loadable = LoadLibraryExA(expanded, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_TRUE(loadable != nullptr) << "the 65-byte value names a loadable file";
    if (loadable) FreeLibrary(loadable);
    EXPECT_EQ("", Description("VesplinNoSuchSource", 100, {"a", "b"}));
}

TEST_F(EventRecordTest, ParameterInsertsReplacedFromTheParameterFile) {
    char slots[4][EVENT_TEXT_SIZE] = {"%%1234", "%%", "plain", "%%1234x"};
    char* strings[4] = {slots[0], slots[1], slots[2], slots[3]};
    ExpandParameterInserts("System", fakelog::kTestSource, 4, strings);
    EXPECT_STREQ("parameter twelve thirty-four", slots[0]);
    EXPECT_STREQ("%%", slots[1]);
    EXPECT_STREQ("plain", slots[2]);
    EXPECT_STREQ("parameter twelve thirty-four", slots[3]);  // the number is read as atoi reads it
    // Without a ParameterMessageFile value nothing changes.
    char untouched[EVENT_TEXT_SIZE] = "%%1234";
    char* one[1] = {untouched};
    ExpandParameterInserts("System", fakelog::kValue64Source, 1, one);
    EXPECT_STREQ("%%1234", untouched);

    std::vector<BYTE> record = BuildRecord(104, 4, fakelog::kTestSource, {"%%1234", "%%"});
    SetField(record, offsetof(EVENTLOGRECORD, RecordNumber), 12);
    EXPECT_TRUE(HandleEventRecord("System", record.data(), (DWORD)record.size()));
    EXPECT_EQ(1, fakelog::CountLogged("System Event, 12 - Description: Parameter insert: parameter twelve "
                                      "thirty-four / %%  "));
}

TEST_F(EventRecordTest, HeaderAndDescriptionLines) {
    char time[32];
    FormatEventTime(1000000000, time, sizeof(time));
    auto handle = [](DWORD number, DWORD id, WORD type, const char* source, std::vector<std::string> strings) {
        std::vector<BYTE> record = BuildRecord(id, type, source, strings);
        SetField(record, offsetof(EVENTLOGRECORD, RecordNumber), number);
        return HandleEventRecord("System", record.data(), (DWORD)record.size());
    };
    std::vector<int> levels;
    ASSERT_TRUE(handle(7, 100, EVENTLOG_INFORMATION_TYPE, fakelog::kTestSource, {"C:", "D:"}));
    ASSERT_TRUE(handle(345, 0xE1230065, 0, "VesplinNoSuchSource", {}));
    ASSERT_TRUE(handle(8, 102, EVENTLOG_WARNING_TYPE, fakelog::kTestSource, {}));  // 459 characters: logged
    ASSERT_TRUE(handle(9, 103, EVENTLOG_ERROR_TYPE, fakelog::kTestSource, {}));    // 460: header only
    std::vector<std::string> lines = fakelog::LoggedTexts(&levels);
    ASSERT_EQ(6u, lines.size());
    std::string t = std::string(" (Generated time: ") + time + ") ";
    EXPECT_EQ("System Event, 07 - Information, Event: 0x00000064,  Source: VesplinTestSource" + t, lines[0]);
    EXPECT_EQ("System Event, 07 - Description: Drive C: was moved to D:.  ", lines[1]);
    EXPECT_EQ("System Event, 345 - , Event: 0xE1230065,  Source: VesplinNoSuchSource" + t, lines[2]);
    EXPECT_EQ("System Event, 08 - Warning, Event: 0x00000066,  Source: VesplinTestSource" + t, lines[3]);
    EXPECT_EQ(0u, lines[4].find("System Event, 08 - Description: Long description of 459 characters: "));
    EXPECT_EQ(strlen("System Event, 08 - Description: ") + 459 + 2, lines[4].size());
    EXPECT_EQ("System Event, 09 - Error, Event: 0x00000067,  Source: VesplinTestSource" + t, lines[5]);
    for (int level : levels) EXPECT_EQ(LOG_INFO, level);
}

TEST_F(EventRecordTest, MalformedRecordsAreSkippedAndRandomDamageNeverCrashes) {
    // A source name without terminator: nothing is logged.
    std::vector<BYTE> unnamed(sizeof(EVENTLOGRECORD) + 8, 'n');
    SetField(unnamed, 0, (DWORD)unnamed.size());
    Guarded guarded(unnamed);
    EXPECT_FALSE(HandleEventRecord("System", guarded.data, (DWORD)unnamed.size()));
    EXPECT_EQ(0, theLogger->GetLineCount());

    const std::vector<std::vector<BYTE>> bases = {
        BuildRecord(100, 4, fakelog::kTestSource, {"C:", "D:"}),
        BuildRecord(104, 2, fakelog::kTestSource, {"%%1234", "%%", "x"}),
        BuildRecord(0xC1230065, 1, fakelog::kTestSource, {"a", "b", "c", "d"}, 5, 16),
    };
    srand(20240607);
    int handled = 0;
    for (int round = 0; round < 1500; round++) {
        std::vector<BYTE> record = bases[round % bases.size()];
        for (int hits = 1 + rand() % 6; hits > 0; hits--) {
            switch (rand() % 4) {
            case 0: record[rand() % record.size()] = (BYTE)rand(); break;
            case 1: SetField(record, offsetof(EVENTLOGRECORD, StringOffset), rand() % (record.size() + 40)); break;
            case 2: SetField(record, offsetof(EVENTLOGRECORD, NumStrings), rand() % 24, 2); break;
            default: SetField(record, 0, rand() % (record.size() + 40)); break;
            }
        }
        if (rand() % 3 == 0) record.resize(rand() % record.size());
        Guarded copy(record);
        DWORD length = CheckEventRecordLength(copy.data, (DWORD)record.size());
        if (length == 0) continue;
        ASSERT_LE(length, record.size());
        if (!HandleEventRecord("System", copy.data, length)) continue;
        handled++;
        char newest[LOG_LINE_SIZE];
        int level = 0;
        ASSERT_TRUE(theLogger->CopyLine(-1, newest, sizeof(newest), &level));
        EXPECT_TRUE(strstr(newest, " System Event, ") != nullptr) << newest;
    }
    EXPECT_GT(handled, 100);  // the damage left many records whole enough to report
}
