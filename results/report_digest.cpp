// What the run report keeps of a results file between rebuilds: a compact row
// a sleep for the statistics and charts, and whole records only of the sleeps
// the page may list, so a rebuild after a sleep never reads the file again.
#include <stdio.h>
#include <string.h>
#include <algorithm>
#include "results/results.h"

// A time or count for a row: unknown as -1, at most a day of milliseconds.
static int32_t Clipped(bool known, long long value) {
    const long long MOST = 86400000LL;
    if (!known || value < 0) return -1;
    return (int32_t)(value < MOST ? value : MOST);
}

static int8_t SmallId(int value, int count, int unknown) { return (int8_t)(value >= 0 && value < count ? value : unknown); }

ReportRow RowOf(const SleepRecord& r, int32_t wakeSource) {
    ReportRow row;
    memset(&row, 0, sizeof(row));
    row.cycle = r.cycle;
    row.requestedSec = r.requestedSec;
    row.measuredSec = r.measuredSec;
    row.asleepSec = r.asleepSource != ASLEEP_UNKNOWN && r.asleepSec >= 0 ? r.asleepSec : -1;
    const int phases[ROW_PHASES] = {PHASE_WAKE, PHASE_FIRMWARE, PHASE_DRIVERS, PHASE_HIBER_WRITE, PHASE_HIBER_READ};
    for (int i = 0; i < ROW_PHASES; i++)
        row.phaseMs[i] = Clipped(r.phasesKnown && r.phases[phases[i]].known, r.phases[phases[i]].value);
    const BatteryFigures& b = r.battery;
    // A battery that gained charge drained none.
    long long drain = b.drainMw.value < 0 ? 0 : b.drainMw.value < 0x7FFFFFFF ? b.drainMw.value : 0x7FFFFFFF;
    row.drainMw = b.known && b.drainMw.known ? (int32_t)drain : -1;
    row.wakeSource = wakeSource;
    row.verdict = SmallId(r.verdict, VERDICT_COUNT, VERDICT_COUNT);
    row.requestedState = SmallId(r.requestedState, 4, -1);
    row.enteredState = SmallId(r.enteredState, 4, -1);
    row.lostReason = SmallId(r.lostReason, LOST_COUNT, r.lostReason == LOST_NONE ? LOST_NONE : LOST_UNKNOWN);
    row.flags = (uint8_t)((HasDeviceFault(r.devices) ? ROW_DEVICE_FAULT : 0) | (r.phasesKnown ? ROW_HAS_PHASES : 0));
    return row;
}

void ClearDigest(ReportDigest* digest) {
    digest->runs.clear();
    digest->badLines = 0;
}

static int Intern(std::unordered_map<std::string, int>* index, std::vector<std::string>* texts,
                  const std::string& text) {
    auto found = index->find(text);
    if (found != index->end()) return found->second;
    index->emplace(text, (int)texts->size());
    texts->push_back(text);
    return (int)texts->size() - 1;
}

// Keeps the newest records of a list: trimmed to limit only when it has a
// quarter more, so that trimming costs little and a replaced last record
// still leaves limit of them.
static void KeepNewest(std::vector<KeptRecord>* list, const KeptRecord& kept, size_t limit) {
    list->push_back(kept);
    if (list->size() >= limit + limit / 4) list->erase(list->begin(), list->end() - (ptrdiff_t)limit);
}

static void NoteKind(RunDigest* run, const FailureKey& key, int row) {
    auto found = run->kindIndex.find({key.family, key.what});
    if (found == run->kindIndex.end()) {
        found = run->kindIndex.emplace(std::make_pair(key.family, key.what), (int)run->kinds.size()).first;
        run->kinds.push_back({key.family, key.what, {}});
    }
    DigestKind& kind = run->kinds[found->second];
    // A device's ways of failing are few; a list bounded all the same.
    if (!key.happened.empty() && kind.happened.size() < 16 &&
        std::find(kind.happened.begin(), kind.happened.end(), key.happened) == kind.happened.end())
        kind.happened.push_back(key.happened);
    run->rowKinds.push_back({row, found->second});
}

static void NoteDevice(RunDigest* run, const DeviceEntry& device, int code, int row) {
    auto found = run->deviceIndex.find(device.id);
    if (found == run->deviceIndex.end()) {
        found = run->deviceIndex.emplace(device.id, (int)run->devices.size()).first;
        run->devices.push_back(device);
    }
    DeviceEntry& known = run->devices[found->second];
    // A later sighting may carry the name or class the first one lacked.
    if (known.name.empty() && !device.name.empty()) known.name = device.name;
    if (known.cls.empty() && !device.cls.empty()) known.cls = device.cls;
    run->deviceFaults.push_back({row, found->second, code});
}

static bool BeginsRun(const RunDigest& run, const SleepRecord& record) {
    return !run.rows.empty() && BeginsNewRun(run.runId, run.rows.back().cycle, record);
}

void AddToDigest(ReportDigest* digest, const SleepRecord& record) {
    if (digest->runs.empty() || BeginsRun(digest->runs.back(), record)) {
        digest->runs.emplace_back();
        RunDigest& fresh = digest->runs.back();
        snprintf(fresh.runId, sizeof(fresh.runId), "%s", record.runId);
        fresh.computer[0] = '\0';
        fresh.firstStartUtc = 0;
        fresh.lastEndUtc = 0;
    }
    RunDigest& run = digest->runs.back();
    int row = (int)run.rows.size();
    int wake = record.wakeSource[0] ? Intern(&run.wakeIndex, &run.wakeSources, record.wakeSource) : -1;
    run.rows.push_back(RowOf(record, wake));
    if (record.computer[0]) snprintf(run.computer, sizeof(run.computer), "%s", record.computer);
    if (run.firstStartUtc == 0) run.firstStartUtc = record.startUtc;
    run.lastEndUtc = record.endUtc;
    KeptRecord kept = {row, record};
    KeepNewest(&run.recent, kept, REPORT_ALL_ROWS);
    if (record.verdict == VERDICT_OK && !HasDeviceFault(record.devices)) return;
    for (const FailureKey& key : FailureKeysOf(record)) NoteKind(&run, key, row);
    if (HasDeviceFault(record.devices)) {
        for (const DeviceEntry& d : record.devices.missing) NoteDevice(&run, d, -1, row);
        for (const DeviceEntry& d : record.devices.problems) NoteDevice(&run, d, d.code < 0 ? 0 : d.code, row);
    }
    if (record.verdict == VERDICT_OK) return;
    if (run.firstFailed.size() < REPORT_FAILED_ROWS) run.firstFailed.push_back(kept);
    KeepNewest(&run.lastFailed, kept, REPORT_FAILED_ROWS);
}

template <typename T>
static void DropRow(std::vector<T>* list, int row) {
    while (!list->empty() && list->back().row == row) list->pop_back();
}

void ReplaceLastInDigest(ReportDigest* digest, const SleepRecord& record) {
    if (!digest->runs.empty() && !digest->runs.back().rows.empty()) {
        RunDigest& run = digest->runs.back();
        int row = (int)run.rows.size() - 1;
        run.rows.pop_back();
        DropRow(&run.recent, row);
        DropRow(&run.firstFailed, row);
        DropRow(&run.lastFailed, row);
        DropRow(&run.deviceFaults, row);
        while (!run.rowKinds.empty() && run.rowKinds.back().first == row) run.rowKinds.pop_back();
        if (run.rows.empty()) {
            digest->runs.pop_back();
        } else {
            run.lastEndUtc = run.recent.empty() ? 0 : run.recent.back().record.endUtc;
        }
    }
    // As a fresh reading of the file would take it.
    AddToDigest(digest, record);
}

void DigestOf(const SleepRecord* records, int count, int badLines, ReportDigest* digest) {
    ClearDigest(digest);
    for (int i = 0; i < count; i++) AddToDigest(digest, records[i]);
    digest->badLines = badLines;
}

static void TakeRecord(const SleepRecord& record, void* digest) { AddToDigest((ReportDigest*)digest, record); }

int ReadResultsDigest(const char* path, ReportDigest* digest) {
    ClearDigest(digest);
    int bad = 0;
    int error = ForEachResultRecord(path, TakeRecord, digest, &bad);
    if (error != 0) ClearDigest(digest);
    digest->badLines = error == 0 ? bad : 0;
    return error;
}

const SleepRecord* KeptRecordOf(const RunDigest& run, int row) {
    for (const std::vector<KeptRecord>* list : {&run.recent, &run.lastFailed, &run.firstFailed}) {
        if (list->empty() || row < list->front().row || row > list->back().row) continue;
        auto found = std::lower_bound(list->begin(), list->end(), row,
                                      [](const KeptRecord& kept, int wanted) { return kept.row < wanted; });
        if (found != list->end() && found->row == row) return &found->record;
    }
    return nullptr;
}

std::vector<int> ListedRows(const RunDigest& run) {
    int count = (int)run.rows.size();
    std::vector<int> rows;
    if (count <= REPORT_ALL_ROWS) {
        for (int i = 0; i < count; i++) rows.push_back(i);
        return rows;
    }
    for (const KeptRecord& kept : run.firstFailed) rows.push_back(kept.row);
    size_t lastFailed = run.lastFailed.size();
    size_t from = lastFailed > REPORT_FAILED_ROWS ? lastFailed - REPORT_FAILED_ROWS : 0;
    for (size_t i = from; i < lastFailed; i++) rows.push_back(run.lastFailed[i].row);
    for (int i = count - REPORT_LAST_ROWS; i < count; i++) rows.push_back(i);
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

std::vector<KindCount> CountFailureKinds(const RunDigest& run) {
    std::vector<KindCount> counts(run.kinds.size());
    for (size_t k = 0; k < counts.size(); k++) counts[k] = {(int)k, 0, -1, -1};
    for (const auto& rowKind : run.rowKinds) {
        KindCount& c = counts[(size_t)rowKind.second];
        if (c.lastRow == rowKind.first) continue;  // a kind counts once a sleep
        if (c.sleeps++ == 0) c.firstRow = rowKind.first;
        c.lastRow = rowKind.first;
    }
    counts.erase(std::remove_if(counts.begin(), counts.end(), [](const KindCount& c) { return c.sleeps == 0; }),
                 counts.end());
    std::stable_sort(counts.begin(), counts.end(), [&](const KindCount& a, const KindCount& b) {
        if (a.sleeps != b.sleeps) return a.sleeps > b.sleeps;
        return run.kinds[(size_t)a.kind].family < run.kinds[(size_t)b.kind].family;
    });
    return counts;
}
