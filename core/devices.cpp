// Devices and battery across a sleep: what changed, in the words an engineer
// reads in Device Manager, and what the sleep cost the battery.
#include <algorithm>
#include "core/core.h"

std::string DeviceProblemText(int code) {
    switch (code) {
    case 10: return "cannot start";
    case 14: return "needs a restart";
    case 22: return "disabled";
    case 24: return "not present";
    case 28: return "no driver";
    case 31: return "not working properly";
    case 43: return "stopped after reporting problems";
    case 45: return "not connected";
    case 47: return "prepared for removal";
    case 54: return "failed and is being reset";
    default: return "problem code " + std::to_string(code);
    }
}

static char Lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

// Instance ids are compared as the system compares them: without regard to case.
static int CompareIds(const std::string& a, const std::string& b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; i++) {
        char x = Lower(a[i]), y = Lower(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

void SortDevices(std::vector<DeviceEntry>* devices) {
    std::sort(devices->begin(), devices->end(),
              [](const DeviceEntry& a, const DeviceEntry& b) { return CompareIds(a.id, b.id) < 0; });
}

static bool StartsWith(const std::string& text, const std::string& part) {
    return part.size() <= text.size() && CompareIds(text.substr(0, part.size()), part) == 0;
}

static bool Contains(const std::string& text, const std::string& part) {
    if (part.empty()) return true;
    for (size_t at = 0; at + part.size() <= text.size(); at++) {
        if (CompareIds(text.substr(at, part.size()), part) == 0) return true;
    }
    return false;
}

bool IsDeviceIgnored(const DeviceEntry& device, const std::vector<std::string>& ignores) {
    for (const std::string& text : ignores) {
        if (!text.empty() && (StartsWith(device.id, text) || Contains(device.name, text))) return true;
    }
    return false;
}

std::vector<std::string> StandingProblems(const std::vector<DeviceEntry>& baseline) {
    std::vector<std::string> ids;
    for (const DeviceEntry& device : baseline) {
        if (device.code != 0) ids.push_back(device.id);
    }
    std::sort(ids.begin(), ids.end(), [](const std::string& a, const std::string& b) { return CompareIds(a, b) < 0; });
    return ids;
}

static bool IsStanding(const std::vector<std::string>& standing, const std::string& id) {
    return std::binary_search(standing.begin(), standing.end(), id,
                              [](const std::string& a, const std::string& b) { return CompareIds(a, b) < 0; });
}

DeviceCheck CompareDevices(const std::vector<DeviceEntry>& before, const std::vector<DeviceEntry>& after,
                           const std::vector<std::string>& standing, const std::vector<std::string>& ignores,
                           std::vector<DeviceEntry>* cleared) {
    DeviceCheck check;
    check.known = true;
    check.present = (int)after.size();
    check.appeared = 0;
    if (cleared) cleared->clear();
    // Both lists are sorted: one pass over the two.
    size_t i = 0, j = 0;
    while (i < before.size() || j < after.size()) {
        int order = i == before.size() ? 1 : j == after.size() ? -1 : CompareIds(before[i].id, after[j].id);
        if (order > 0) {
            check.appeared++;
            j++;
            continue;
        }
        const DeviceEntry& was = before[i];
        bool counted = !IsStanding(standing, was.id) && !IsDeviceIgnored(was, ignores);
        if (order < 0) {
            if (counted) check.missing.push_back(was);
            i++;
            continue;
        }
        const DeviceEntry& now = after[j];
        if (now.code != 0 && now.code != was.code && counted && !IsDeviceIgnored(now, ignores)) {
            check.problems.push_back(now);
        } else if (now.code == 0 && was.code != 0 && cleared) {
            cleared->push_back(now);
        }
        i++;
        j++;
    }
    return check;
}

BatteryFigures BatteryAcrossSleep(const BatteryReading& before, const BatteryReading& after, int asleepSec,
                                  int measuredSec) {
    BatteryFigures figures;
    figures.known = before.present || after.present;
    figures.ac = after.ac;
    figures.beforeMwh = {false, 0};
    figures.afterMwh = {false, 0};
    figures.drainMw = {false, 0};
    if (!figures.known) return figures;
    if (before.present && before.mwhKnown) figures.beforeMwh = {true, before.mwh};
    if (after.present && after.mwhKnown) figures.afterMwh = {true, after.mwh};
    int seconds = asleepSec > 0 ? asleepSec : measuredSec;
    // On mains power the battery charges or rests: what it did says nothing of the sleep.
    if (figures.beforeMwh.known && figures.afterMwh.known && !before.ac && !after.ac && seconds > 0) {
        long long used = before.mwh - after.mwh;
        figures.drainMw = {true, (used * 3600 + seconds / 2) / seconds};
    }
    return figures;
}
