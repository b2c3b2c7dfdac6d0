// The Config object: defaults, and the configuration file as a raw record image.
#include <stdio.h>
#include <string.h>
#include <io.h>
#include "log/log.h"
#include "settings/settings.h"

Config* theConfig = nullptr;

static const char CONFIG_MAGIC[7] = {'S', 'L', 'P', 'D', 'A', 'T', '\0'};

void GetConfigText(const char* field, char out[256]) {
    size_t length = strnlen(field, CONFIG_TEXT_MAX);
    memcpy(out, field, length);
    out[length] = '\0';
}

void SetConfigText(char* field, const char* text) {
    size_t length = strnlen(text, CONFIG_TEXT_MAX);
    memcpy(field, text, length);
    field[length] = '\0';
}

void GetExecutableFolder(HINSTANCE instance, char* out, size_t outSize) {
    char path[MAX_PATH + 1] = "";
    DWORD length = GetModuleFileNameA(instance, path, sizeof(path));
    if (length >= sizeof(path)) length = sizeof(path) - 1;
    path[length] = '\0';
    char* slash = strrchr(path, '\\');
    if (slash) *slash = '\0';
    snprintf(out, outSize, "%s", path);
}

// Folder + "\\" + name into a 256-byte field; an empty text when it does not fit,
// so that no truncated path is ever used as if it were the right one.
static void JoinIntoField(char* field, const char* folder, const char* name) {
    char joined[256];
    int length = snprintf(joined, sizeof(joined), "%s\\%s", folder, name);
    if (length < 0 || length > CONFIG_TEXT_MAX) joined[0] = '\0';
    SetConfigText(field, joined);
}

Config::Config(HINSTANCE instance) {
    configFilePath[0] = '\0';
    SetDefaults(instance, &settings);
}

Config::~Config() {}

void Config::SetDefaults(HINSTANCE instance, ConfigRecord* dest) {
    memset(dest, 0, sizeof(*dest));
    memcpy(dest->magic, CONFIG_MAGIC, sizeof(CONFIG_MAGIC));
    SetConfigText(dest->productName, PRODUCT_NAME);
    SetConfigText(dest->versionText, PRODUCT_VERSION);
    dest->buildNumber = PRODUCT_BUILD_NUMBER;
    dest->cycleCount = 1;
    dest->cycleIntervalSec = 60;
    dest->logToFile = 1;
    dest->logLevel = 0;
    dest->sleepDurationSec[0] = 30;
    dest->sleepDurationSec[1] = 30;
    dest->sleepDurationSec[2] = 30;
    dest->sleepDurationSec[3] = 60;
    dest->fallbackMode = 3;
    dest->useState[0] = 1;

    char folder[MAX_PATH + 1];
    GetExecutableFolder(instance, folder, sizeof(folder));
    JoinIntoField(dest->logFilePath, folder, "vesplin.log");
    JoinIntoField(configFilePath, folder, "vesplinCfg.dat");
}

int Config::Load(const char* path, ConfigRecord* dest) {
    FILE* file = fopen(path, "rb");
    if (!file) return 1;
    char head[16];
    size_t got = fread(head, 1, sizeof(head), file);
    if (got < sizeof(CONFIG_MAGIC) || memcmp(head, CONFIG_MAGIC, sizeof(CONFIG_MAGIC)) != 0) {
        fclose(file);
        char message[600];
        snprintf(message, sizeof(message), "%s is not a valid config file.", path);
        ShowMessageBox(nullptr, message, "Invalid config file", MB_ICONWARNING | MB_OK, IDOK);
        return 1;
    }
    fseek(file, 0, SEEK_SET);
    // A short file fills only the bytes it holds; the rest keeps what the caller put there.
    size_t ignored = fread(dest, 1, sizeof(*dest), file);
    (void)ignored;
    fclose(file);
    return 0;
}

int Config::Save(const char* path, const ConfigRecord* source) {
    // The new image goes to a temporary file beside the old one and replaces it
    // only when it is whole on the disk: a full disk or a crash mid-write never
    // leaves a truncated configuration behind.
    char temporary[300];
    int length = snprintf(temporary, sizeof(temporary), "%s.tmp", path);
    if (path[0] == '\0' || length < 0 || length >= (int)sizeof(temporary)) return 1;
    FILE* file = fopen(temporary, "wb");
    if (!file) return 1;
    bool ok = fwrite(source, 1, sizeof(*source), file) == sizeof(*source);
    ok = fflush(file) == 0 && ok;
    ok = _commit(_fileno(file)) == 0 && ok;
    ok = fclose(file) == 0 && ok;
    if (ok) ok = MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) {
        DeleteFileA(temporary);
        return 1;
    }
    return 0;
}

void ApplyLogSettings(const ConfigRecord* settings) {
    SetLogLevel(settings->logLevel);
    if (!theLogger) return;
    char path[256];
    GetConfigText(settings->logFilePath, path);
    theLogger->SetLogFile(path, settings->logToFile != 0);
}
