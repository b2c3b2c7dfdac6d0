// The files of vesplin-report: finding the results files, reading them with
// what lies beside them, and writing the outputs whole.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <algorithm>
#include <filesystem>
#include <system_error>
#include "tool/report_tool.h"

namespace fs = std::filesystem;

// A status file is a few hundred bytes: anything much larger is not one.
static const long STATUS_MAX_BYTES = 1 << 20;

static std::string Reason(const std::error_code& ec) { return ec.message(); }

bool CollectResultsFiles(const std::vector<std::string>& inputs, std::vector<std::string>* files,
                         std::vector<std::string>* warnings, std::string* error) {
    files->clear();
    std::vector<std::string> seen;  // each file once, however it was named
    auto add = [&](const fs::path& path) {
        std::error_code ec;
        fs::path canonical = fs::weakly_canonical(path, ec);
        std::string key = (ec ? path : canonical).string();
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) return;
        seen.push_back(key);
        files->push_back(path.string());
    };
    for (const std::string& input : inputs) {
        std::error_code ec;
        fs::path path(input);
        fs::file_status status = fs::status(path, ec);
        if (ec || !fs::exists(status)) {
            *error = "no such file or folder: " + input;
            return false;
        }
        if (!fs::is_directory(status)) {
            add(path);
            continue;
        }
        std::vector<fs::path> found;
        fs::directory_iterator it(path, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            std::error_code kind;
            if (it->is_regular_file(kind) && HasExtension(it->path().filename().string().c_str(), ".jsonl"))
                found.push_back(it->path());
        }
        if (ec) {
            *error = "cannot read the folder " + input + ": " + Reason(ec);
            return false;
        }
        std::sort(found.begin(), found.end());
        if (found.empty()) warnings->push_back("no results file (*.jsonl) in " + input);
        for (const fs::path& file : found) add(file);
    }
    if (files->empty()) {
        *error = "no results files found";
        return false;
    }
    return true;
}

// The whole of a small file; false when it cannot be read or is too large.
static bool ReadSmallFile(const std::string& path, std::string* text) {
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return false;
    char chunk[4096];
    size_t got;
    text->clear();
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0 && (long)text->size() <= STATUS_MAX_BYTES)
        text->append(chunk, got);
    bool read = !ferror(file) && (long)text->size() <= STATUS_MAX_BYTES;
    fclose(file);
    return read;
}

// The run report beside the results file, relative to the page's folder.
static void FindPageLink(const std::string& resultsPath, const fs::path& pageFolder, FleetFile* file) {
    char report[FLEET_PATH_SIZE];
    if (!DefaultReportPath(resultsPath.c_str(), report, sizeof(report))) return;
    std::error_code ec;
    if (!fs::is_regular_file(fs::path(report), ec)) return;
    fs::path absolute = fs::absolute(fs::path(report), ec);
    if (ec) return;
    // On another drive there is no relative link: then no link.
    std::string link = absolute.lexically_normal().lexically_relative(pageFolder).generic_string();
    if (!link.empty() && link.size() < sizeof(file->pageLink)) snprintf(file->pageLink, sizeof(file->pageLink), "%s", link.c_str());
}

bool LoadFleet(const std::vector<std::string>& files, const char* pagePath, std::vector<FleetMachine>* fleet,
               std::string* error) {
    std::error_code ec;
    fs::path pageFolder = pagePath && pagePath[0] ? fs::absolute(fs::path(pagePath), ec).parent_path()
                                                  : fs::current_path(ec);
    pageFolder = pageFolder.lexically_normal();
    fleet->clear();
    for (const std::string& path : files) {
        std::vector<SleepRecord> records;
        FleetFile file;
        memset(&file, 0, sizeof(file));
        int readError = ReadResultsFile(path.c_str(), &records, &file.badLines);
        if (readError != 0) {
            *error = "cannot read " + path + ": " + strerror(readError);
            return false;
        }
        snprintf(file.path, sizeof(file.path), "%s", path.c_str());
        FindPageLink(path, pageFolder, &file);
        char statusPath[FLEET_PATH_SIZE];
        std::string status;
        // A missing or damaged status file only leaves the exit code unknown.
        if (RunStatusPath(path.c_str(), statusPath, sizeof(statusPath)) && ReadSmallFile(statusPath, &status))
            ReadFleetStatus(status.data(), status.size(), &file);
        // The folder's name needs a path that has one, even for "r.jsonl".
        std::string absolute = fs::absolute(fs::path(path), ec).string();
        char machine[COMPUTER_NAME_SIZE];
        MachineNameFor(records.data(), (int)records.size(), ec ? path.c_str() : absolute.c_str(), machine,
                       sizeof(machine));
        AddToFleet(fleet, machine, file, records);
    }
    SortFleet(fleet);
    return true;
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ea, eb;
    fs::path x = fs::weakly_canonical(fs::path(a), ea), y = fs::weakly_canonical(fs::path(b), eb);
    if (ea || eb) return fs::absolute(fs::path(a), ea).lexically_normal() == fs::absolute(fs::path(b), eb).lexically_normal();
    return x == y;
}

bool WriteWholeFile(const char* path, const std::string& text, std::string* error) {
    std::error_code ec;
    fs::path target(path);
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
    if (fs::is_directory(target, ec)) {
        *error = std::string("cannot write ") + path + ": it is a folder";
        return false;
    }
    std::string temp = std::string(path) + ".tmp";
    FILE* file = fopen(temp.c_str(), "wb");
    if (!file) {
        *error = std::string("cannot write ") + temp + ": " + strerror(errno);
        return false;
    }
    bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    written = fflush(file) == 0 && written;
    int writeError = errno;
    written = fclose(file) == 0 && written;
    if (!written) {
        remove(temp.c_str());
        *error = std::string("cannot write ") + temp + ": " + strerror(writeError ? writeError : EIO);
        return false;
    }
    fs::rename(fs::path(temp), target, ec);
    if (ec) {
        remove(temp.c_str());
        *error = std::string("cannot put ") + temp + " in place of " + path + ": " + Reason(ec);
        return false;
    }
    return true;
}
