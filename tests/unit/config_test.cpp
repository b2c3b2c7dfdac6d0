#include <gtest/gtest.h>
#include "support/process_run.h"
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#include "settings/settings.h"

namespace {

std::vector<unsigned char> ReadAll(const std::string& path) {
    std::vector<unsigned char> bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return bytes;
    int c;
    while ((c = fgetc(file)) != EOF) bytes.push_back((unsigned char)c);
    fclose(file);
    return bytes;
}

void WriteAll(const std::string& path, const void* data, size_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_TRUE(file != nullptr);
    fwrite(data, 1, size, file);
    fclose(file);
}

}  // namespace

TEST(ConfigDefaults, NewConfigHoldsTheDefaultsByteForByte) {
    Config config(nullptr);
    const ConfigRecord& r = config.settings;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&r);
    EXPECT_EQ(0, memcmp(bytes, "SLPDAT\0", 7));
    EXPECT_STREQ("Vesplin", r.productName);
    EXPECT_STREQ("V2.3", r.versionText);
    EXPECT_EQ(1006, r.buildNumber);
    EXPECT_EQ(1, r.cycleCount);
    EXPECT_EQ(60, r.cycleIntervalSec);
    EXPECT_EQ(1, r.logToFile);
    EXPECT_EQ(0, r.logLevel);
    EXPECT_EQ(30, r.sleepDurationSec[0]);
    EXPECT_EQ(30, r.sleepDurationSec[1]);
    EXPECT_EQ(30, r.sleepDurationSec[2]);
    EXPECT_EQ(60, r.sleepDurationSec[3]);
    EXPECT_EQ(3, r.fallbackMode);
    EXPECT_EQ(1, r.useState[0]);
    EXPECT_EQ(0, r.useState[1] | r.useState[2] | r.useState[3]);

    std::string log = ExeDir() + "\\vesplin.log";
    EXPECT_EQ(log, r.logFilePath);
    EXPECT_EQ(ExeDir() + "\\vesplinCfg.dat", config.configFilePath);

    // Everything not named above is zero, padding and reserved bytes included.
    ConfigRecord expected;
    memset(&expected, 0, sizeof(expected));
    memcpy(expected.magic, "SLPDAT", 7);
    strcpy(expected.productName, "Vesplin");
    strcpy(expected.versionText, "V2.3");
    expected.buildNumber = 1006;
    expected.cycleCount = 1;
    expected.cycleIntervalSec = 60;
    expected.logToFile = 1;
    strcpy(expected.logFilePath, log.c_str());
    expected.sleepDurationSec[0] = expected.sleepDurationSec[1] = expected.sleepDurationSec[2] = 30;
    expected.sleepDurationSec[3] = 60;
    expected.fallbackMode = 3;
    expected.useState[0] = 1;
    EXPECT_EQ(0, memcmp(&expected, &r, sizeof(r)));
}

TEST(ConfigFile, SaveThenLoadRoundTripsEveryByte) {
    std::string folder = TestFolder("config_roundtrip");
    std::string path = folder + "\\round.dat";
    Config config(nullptr);
    ConfigRecord source;
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&source);
    for (size_t i = 0; i < sizeof(source); i++) bytes[i] = (unsigned char)(i * 7 + 3);
    memcpy(source.magic, "SLPDAT", 7);  // the only part that is checked
    ASSERT_EQ(0, config.Save(path.c_str(), &source));

    std::vector<unsigned char> file = ReadAll(path);
    ASSERT_EQ(1660u, file.size());
    EXPECT_EQ(0, memcmp(file.data(), &source, 1660));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((path + ".tmp").c_str()));

    ConfigRecord loaded;
    memset(&loaded, 0xEE, sizeof(loaded));
    ASSERT_EQ(0, config.Load(path.c_str(), &loaded));
    EXPECT_EQ(0, memcmp(&loaded, &source, sizeof(source)));
}

TEST(ConfigFile, ShortAndLongFilesFillOnlyWhatTheyHold) {
    std::string folder = TestFolder("config_short");
    Config config(nullptr);

    std::string seven = folder + "\\seven.dat";
    WriteAll(seven, "SLPDAT\0", 7);
    ConfigRecord dest;
    memset(&dest, 0x5A, sizeof(dest));
    ASSERT_EQ(0, config.Load(seven.c_str(), &dest));
    EXPECT_EQ(0, memcmp(dest.magic, "SLPDAT\0", 7));
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&dest);
    for (size_t i = 7; i < sizeof(dest); i++) ASSERT_EQ(0x5A, bytes[i]) << "byte " << i;

    // A longer file contributes only its first 1660 bytes; another version text is accepted.
    std::vector<unsigned char> big(2000, 0x11);
    memcpy(big.data(), "SLPDAT\0", 7);
    memcpy(big.data() + 264, "V9.9", 5);
    std::string longer = folder + "\\longer.dat";
    WriteAll(longer, big.data(), big.size());
    ASSERT_EQ(0, config.Load(longer.c_str(), &dest));
    EXPECT_STREQ("V9.9", dest.versionText);
    EXPECT_EQ(0x11, bytes[1659]);

    // A missing file: 1, silently, destination untouched.
    memset(&dest, 0x33, sizeof(dest));
    EXPECT_EQ(1, config.Load((folder + "\\absent.dat").c_str(), &dest));
    EXPECT_EQ(0x33, bytes[0]);
}

TEST(ConfigFile, FailedSaveKeepsTheOldFileAndReportsIt) {
    std::string folder = TestFolder("config_failsave");
    Config config(nullptr);
    std::string path = folder + "\\keep.dat";
    ConfigRecord original = config.settings;
    ASSERT_EQ(0, config.Save(path.c_str(), &original));

    // The temporary file cannot be created: the save fails and the old file stays whole.
    std::string blocker = path + ".tmp";
    ASSERT_TRUE(CreateDirectoryA(blocker.c_str(), nullptr));
    ConfigRecord changed = original;
    changed.cycleCount = 77;
    EXPECT_EQ(1, config.Save(path.c_str(), &changed));
    std::vector<unsigned char> file = ReadAll(path);
    ASSERT_EQ(1660u, file.size());
    EXPECT_EQ(0, memcmp(file.data(), &original, 1660));
    RemoveDirectoryA(blocker.c_str());

    // The target is a folder: the replacement fails, nothing is left behind.
    std::string folderTarget = folder + "\\adir.dat";
    CreateDirectoryA(folderTarget.c_str(), nullptr);
    EXPECT_EQ(1, config.Save(folderTarget.c_str(), &changed));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((folderTarget + ".tmp").c_str()));
    EXPECT_TRUE(GetFileAttributesA(folderTarget.c_str()) & FILE_ATTRIBUTE_DIRECTORY);

    // A folder that does not exist.
    EXPECT_EQ(1, config.Save((folder + "\\no\\such\\x.dat").c_str(), &changed));
    EXPECT_EQ(1, config.Save("", &changed));
}

TEST(ConfigText, UnterminatedFieldsAreReadBounded) {
    ConfigRecord record;
    memset(&record, 'A', sizeof(record));  // no terminator anywhere
    char text[256];
    GetConfigText(record.logFilePath, text);
    EXPECT_EQ(255u, strlen(text));
    EXPECT_EQ('A', text[254]);

    char field[256];
    std::string longText(600, 'b');
    memset(field, 'x', sizeof(field));
    SetConfigText(field, longText.c_str());
    EXPECT_EQ(255u, strnlen(field, 256));
    SetConfigText(field, "short");
    EXPECT_STREQ("short", field);
}

TEST(ResolveFilePath, CompletesRelativeRootedAndDrivePaths) {
    std::string folder = ExeDir();
    char out[600];
    ResolveFilePath(out, sizeof(out), "logs\\run.log");
    EXPECT_EQ(folder + "\\logs\\run.log", out);

    ResolveFilePath(out, sizeof(out), "\\temp\\a.log");
    EXPECT_EQ(std::string(1, folder[0]) + ":\\temp\\a.log", out);

    ResolveFilePath(out, sizeof(out), "D:x.log");
    EXPECT_STREQ("D:x.log", out);

    strcpy(out, "junk");
    EXPECT_FALSE(ResolveFilePath(out, sizeof(out), ""));
    EXPECT_STREQ("", out);
    EXPECT_FALSE(ResolveFilePath(nullptr, 0, ""));
}

TEST(ResolveFilePath, ProbesWithoutLeavingOrDamagingFiles) {
    std::string folder = TestFolder("resolve_probe");
    std::string fresh = folder + "\\fresh.log";
    DeleteFileA(fresh.c_str());
    char out[600];
    EXPECT_TRUE(ResolveFilePath(out, sizeof(out), fresh.c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(fresh.c_str()));

    std::string existing = folder + "\\existing.log";
    WriteAll(existing, "keep me", 7);
    EXPECT_TRUE(ResolveFilePath(out, sizeof(out), existing.c_str()));
    EXPECT_EQ(7u, ReadAll(existing).size());

    EXPECT_FALSE(ResolveFilePath(out, sizeof(out), (folder + "\\missing\\dir\\x.log").c_str()));
}

TEST(ResolveFilePath, QuotedPathKeepsItsTail) {
    std::string folder = ExeDir();
    char out[600];
    ResolveFilePath(out, sizeof(out), "\"tool.exe\" -a -b");
    EXPECT_EQ("\"" + folder + "\\tool.exe\" -a -b", std::string(out));

    // No closing quote: the whole rest is the path, with no tail.
    ResolveFilePath(out, sizeof(out), "\"tool.exe -a");
    EXPECT_EQ("\"" + folder + "\\tool.exe -a", std::string(out));

    // A small output buffer is cut, never overrun.
    char tiny[8];
    memset(tiny, 'z', sizeof(tiny));
    ResolveFilePath(tiny, sizeof(tiny), "anything.log");
    EXPECT_EQ(7u, strlen(tiny));
}

#include "support/box_watcher.h"
#include "results/results.h"
#include "ui/ui.h"

TEST(ConfigFile, FilesWithoutTheMagicAreRefusedWithABox) {
    std::string folder = TestFolder("config_magic");
    Config config(nullptr);
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"slpdata.dat", std::string("SLPDATA and more", 16)},  // byte 6 is not zero
        {"empty.dat", std::string()},
        {"short.dat", std::string("SLPDA", 5)},
        {"six.dat", std::string("SLPDAT", 6)},  // the zero byte is missing
    };
    for (const Case& c : cases) {
        std::string path = folder + "\\" + c.name;
        WriteAll(path, c.bytes.data(), c.bytes.size());
        BoxWatcher watcher(GetCurrentProcessId());
        watcher.Answer("Invalid config file", IDOK);
        ConfigRecord dest;
        memset(&dest, 0x42, sizeof(dest));
        EXPECT_EQ(1, config.Load(path.c_str(), &dest)) << c.name;
        watcher.Stop();
        std::vector<SeenBox> seen = watcher.Seen();
        ASSERT_EQ(1u, seen.size()) << c.name;
        EXPECT_EQ(path + " is not a valid config file.", seen[0].text);
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&dest);
        for (size_t i = 0; i < sizeof(dest); i++) ASSERT_EQ(0x42, bytes[i]) << c.name << " byte " << i;
    }
}

TEST(ConfigFile, AVeryLongPathInTheRefusalIsCutNotOverrun) {
    Config config(nullptr);
    std::string folder = TestFolder("config_longname");
    std::string path = folder + "\\" + std::string(200, 'n') + ".dat";
    WriteAll(path, "XXXXXXXXXXXXXXXX", 16);
    BoxWatcher watcher(GetCurrentProcessId());
    watcher.Answer("Invalid config file", IDOK);
    ConfigRecord dest;
    EXPECT_EQ(1, config.Load(path.c_str(), &dest));
    watcher.Stop();
    ASSERT_EQ(1u, watcher.Seen().size());
    EXPECT_EQ(path + " is not a valid config file.", watcher.Seen()[0].text);
}
