// Process runs, environments and files. No GoogleTest here: the box driver
// links this too.
#include "support/process_run.h"

#include <algorithm>
#include <memory>

std::string ExeDir() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, sizeof(path));
    if (n == 0 || n >= sizeof(path)) return ".";
    std::string dir(path, n);
    size_t slash = dir.find_last_of("\\/");
    return slash == std::string::npos ? "." : dir.substr(0, slash);
}

std::string BuildDir() {
    std::string dir = ExeDir();
    size_t slash = dir.find_last_of("\\/");
    return slash == std::string::npos ? dir : dir.substr(0, slash);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    char last = folder.back();
    return (last == '\\' || last == '/') ? folder + name : folder + "\\" + name;
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool ReadTextFile(const std::string& path, std::string* text) {
    text->clear();
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    char buffer[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof(buffer), &got, NULL) != 0) && got > 0) text->append(buffer, got);
    CloseHandle(file);
    return ok;
}

std::string ReadText(const std::string& path) {
    std::string text;
    ReadTextFile(path, &text);
    return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> ReadLines(const std::string& path) { return SplitLines(ReadText(path)); }

bool WriteText(const std::string& path, const std::string& text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL);
    CloseHandle(file);
    return ok && written == text.size();
}

bool MakeDirs(const std::string& path) {
    if (path.empty()) return false;
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    size_t slash = path.find_last_of("\\/");
    // Stop at a drive root such as "Z:".
    if (slash != std::string::npos && slash > 0 && path[slash - 1] != ':') {
        if (!MakeDirs(path.substr(0, slash))) return false;
    }
    return CreateDirectoryA(path.c_str(), NULL) || GetLastError() == ERROR_ALREADY_EXISTS;
}

double NowMs() {
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

std::string TestFolder(const std::string& name) {
    std::string folder = JoinPath(JoinPath(BuildDir(), "sandbox"), name);
    MakeDirs(folder);
    return folder;
}

bool RemoveTree(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        return DeleteFileA(path.c_str()) != 0;
    }
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA(JoinPath(path, "*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = entry.cFileName;
            if (name != "." && name != "..") RemoveTree(JoinPath(path, name));
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    return RemoveDirectoryA(path.c_str()) != 0;
}

std::string ScenarioText(const std::vector<std::pair<std::string, std::string>>& values) {
    std::string text;
    for (const auto& value : values) text += value.first + "=" + value.second + "\n";
    return text;
}

std::vector<std::string> JournalCalls(const std::vector<std::string>& journal, const std::string& name) {
    std::vector<std::string> calls;
    for (const std::string& line : journal) {
        if (line == name || line.compare(0, name.size() + 1, name + " ") == 0) calls.push_back(line);
    }
    return calls;
}

std::string JournalField(const std::string& line, const std::string& key) {
    std::string pattern = " " + key + "=";
    size_t at = line.find(pattern);
    if (at == std::string::npos) return "";
    at += pattern.size();
    size_t end = line.find(' ', at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

bool SetPowerLibraryFor(const std::string& exeName, PowerLibrary library) {
    std::string keyPath = "Software\\Wine\\AppDefaults\\" + exeName + "\\DllOverrides";
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) !=
        ERROR_SUCCESS) {
        return false;
    }
    LONG status = ERROR_SUCCESS;
    for (const char* dll : {"powrprof", "setupapi"}) {
        if (status != ERROR_SUCCESS) break;
        if (library == PowerLibrary::Inherit) {
            status = RegDeleteValueA(key, dll);
            if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
        } else {
            const char* order = library == PowerLibrary::Simulated ? "native" : "builtin";
            status = RegSetValueExA(key, dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(order),
                                    (DWORD)strlen(order) + 1);
        }
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

namespace {

HMODULE LoadRenamedCopy(const std::string& source, const std::string& copy) {
    // A copy still loaded from an earlier call is used as it is.
    if (!CopyFileA(source.c_str(), copy.c_str(), FALSE) && !FileExists(copy)) return NULL;
    return LoadLibraryExA(copy.c_str(), NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

HMODULE LoadSimulatorCopy(const std::string& folder) {
    return LoadRenamedCopy(JoinPath(JoinPath(BuildDir(), "simpower"), "powrprof.dll"),
                           JoinPath(folder, "simpower_copy.dll"));
}

HMODULE LoadDeviceSimulatorCopy(const std::string& folder) {
    return LoadRenamedCopy(JoinPath(JoinPath(BuildDir(), "simdevices"), "setupapi.dll"),
                           JoinPath(folder, "simdevices_copy.dll"));
}

void UseSimulator(RunOptions* options, const std::string& scenario, const std::string& journal,
                  const std::string& state) {
    options->power = PowerLibrary::Simulated;
    options->env["SIMPOWER_SCENARIO"] = scenario;
    options->env["SIMPOWER_JOURNAL"] = journal;
    if (state.empty()) {
        options->env.erase("SIMPOWER_STATE");
        options->unsetEnv.push_back("SIMPOWER_STATE");
    } else {
        options->env["SIMPOWER_STATE"] = state;
    }
}

void UseWinePower(RunOptions* options) {
    options->power = PowerLibrary::Wine;
    for (const char* name :
         {"SIMPOWER_SCENARIO", "SIMPOWER_JOURNAL", "SIMPOWER_STATE", "SIMDEVICES_LIST", "SIMDEVICES_JOURNAL"}) {
        options->env.erase(name);
        options->unsetEnv.push_back(name);
    }
}

std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    // Backslashes before the closing quote are doubled.
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

std::string BuildCommandLine(const std::string& exe, const std::vector<std::string>& args) {
    std::string line = QuoteArgument(exe);
    for (const std::string& arg : args) line += " " + QuoteArgument(arg);
    return line;
}

namespace {

std::string Upper(std::string text) {
    for (char& c : text) c = (char)toupper((unsigned char)c);
    return text;
}

}  // namespace

std::map<std::string, std::string> ParseEnvironment(const char* block) {
    std::map<std::string, std::string> vars;
    for (const char* entry = block; *entry; entry += strlen(entry) + 1) {
        // Entries such as "=C:=C:\dir" start with '='; the name runs to the next one.
        const char* eq = strchr(entry + 1, '=');
        if (!eq) continue;
        vars[std::string(entry, eq - entry)] = eq + 1;
    }
    return vars;
}

std::string BuildEnvironment(const std::map<std::string, std::string>& set, const std::vector<std::string>& unset) {
    // Names compare without case, as Windows does.
    std::map<std::string, std::pair<std::string, std::string>> vars;
    LPCH own = GetEnvironmentStringsA();
    if (own) {
        for (const auto& var : ParseEnvironment(own)) vars[Upper(var.first)] = var;
        FreeEnvironmentStringsA(own);
    }
    for (const std::string& name : unset) vars.erase(Upper(name));
    for (const auto& var : set) vars[Upper(var.first)] = var;
    std::string block;
    for (const auto& var : vars) {
        block += var.second.first + "=" + var.second.second;
        block += '\0';
    }
    if (block.empty()) block += '\0';
    block += '\0';
    return block;
}

RunResult RunProgram(const std::string& exe, const RunOptions& options) {
    RunResult result;
    if (options.power != PowerLibrary::Inherit) {
        // An override in this process's environment would reach the child and win.
        DWORD size = GetEnvironmentVariableA("WINEDLLOVERRIDES", NULL, 0);
        std::string overrides(size, '\0');
        if (size) overrides.resize(GetEnvironmentVariableA("WINEDLLOVERRIDES", &overrides[0], size));
        std::string exeName = exe.substr(exe.find_last_of("\\/") + 1);
        std::string named = Upper(overrides);
        if (named.find("POWRPROF") != std::string::npos || named.find("SETUPAPI") != std::string::npos ||
            !SetPowerLibraryFor(exeName, options.power)) {
            result.startError = ERROR_BAD_ENVIRONMENT;
            return result;
        }
    }
    BoxWatcher watcher;
    for (const auto& answer : options.answers) watcher.Answer(answer.first, answer.second);
    watcher.CloseUnexpected(options.closeUnexpected);

    std::string commandLine = BuildCommandLine(exe, options.args);
    std::map<std::string, std::string> env = options.env;
    if (!options.devicesList.empty()) env["SIMDEVICES_LIST"] = options.devicesList;
    std::string environment = BuildEnvironment(env, options.unsetEnv);
    std::string workDir = options.workDir;
    if (workDir.empty()) {
        size_t slash = exe.find_last_of("\\/");
        if (slash != std::string::npos) workDir = exe.substr(0, slash);
    }

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    HANDLE output = INVALID_HANDLE_VALUE;
    if (!options.outputFile.empty()) {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
        output = CreateFileA(options.outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (output != INVALID_HANDLE_VALUE) {
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
            startup.hStdOutput = output;
            startup.hStdError = output;
        }
    }

    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back('\0');
    DWORD start = GetTickCount();
    // Suspended until the watcher knows the process, so no early box is missed.
    BOOL created = CreateProcessA(exe.c_str(), mutableLine.data(), NULL, NULL, output != INVALID_HANDLE_VALUE,
                                  CREATE_SUSPENDED, const_cast<char*>(environment.c_str()),
                                  workDir.empty() ? NULL : workDir.c_str(), &startup, &process);
    if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
    if (!created) {
        result.startError = GetLastError();
        return result;
    }
    result.started = true;
    result.pid = process.dwProcessId;
    watcher.SetProcess(process.dwProcessId);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);

    if (WaitForSingleObject(process.hProcess, options.timeoutMs) == WAIT_TIMEOUT) {
        result.timedOut = true;
        TerminateProcess(process.hProcess, STILL_ACTIVE);
        WaitForSingleObject(process.hProcess, 5000);
    }
    result.elapsedMs = GetTickCount() - start;
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    if (result.timedOut) result.exitCode = STILL_ACTIVE;
    CloseHandle(process.hProcess);
    watcher.Stop();
    result.boxes = watcher.Seen();
    return result;
}

// The main window of the program started from exe: other test programs that
// run meanwhile show windows with the same caption.
namespace {
struct WindowSearch {
    std::string exe;
    HWND found;
};
}  // namespace

static BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
    WindowSearch* search = (WindowSearch*)param;
    char title[64] = "";
    GetWindowTextA(window, title, sizeof(title));
    if (strcmp(title, "Tarnwell Vesplin") != 0) return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return TRUE;
    char image[MAX_PATH] = "";
    DWORD size = sizeof(image);
    BOOL named = QueryFullProcessImageNameA(process, 0, image, &size);
    CloseHandle(process);
    if (named && _stricmp(image, search->exe.c_str()) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindMainWindowOf(const std::string& exe) {
    WindowSearch search{exe, nullptr};
    EnumWindows(MatchWindow, (LPARAM)&search);
    return search.found;
}

