// What a failed sleep says in words: its cause, and the kind of failure it is
// for the tables that group failures (one machine's page and the fleet's).
#include <string>
#include <vector>
#include "results/results.h"

const char* const KIND_NAMES[KIND_FAMILIES] = {"Sleep", "Lost", "Device"};

static std::string Seconds(int value) { return std::to_string(value) + " s"; }
static const char* StateName(int state) { return StateId(state) ? StateId(state) : "?"; }

std::string FailureCause(const SleepRecord& r) {
    bool asleepKnown = r.asleepSource != ASLEEP_UNKNOWN && r.asleepSec >= 0;
    std::string of = r.requestedSec >= 0 ? " of " + Seconds(r.requestedSec) : "";
    std::string cause;
    switch (r.verdict) {
    case VERDICT_TOO_SHORT:
    case VERDICT_TOO_LONG:
        if (r.measuredSec >= 0) cause = "back after " + Seconds(r.measuredSec) + of;
        if (asleepKnown && r.asleepSec != r.measuredSec)
            cause += (cause.empty() ? "asleep " : ", asleep ") + Seconds(r.asleepSec);
        break;
    case VERDICT_NOT_SLEPT:
        cause = asleepKnown ? "asleep " + Seconds(r.asleepSec) + of : "the machine did not sleep";
        break;
    case VERDICT_REFUSED:
        cause = RefusedReasonId(r.reason)[0] ? RefusedReasonId(r.reason) : "refused";
        if (r.errorCode != 0) cause += ", error " + std::to_string(r.errorCode);
        break;
    case VERDICT_LOST:
        cause = r.lostReason != LOST_NONE ? LostReasonId(r.lostReason) : "unknown";
        if (r.bugcheck[0]) cause += std::string(", bug check ") + r.bugcheck;
        break;
    case VERDICT_WRONG_STATE: {
        int entered = r.effectiveState >= 0 ? r.effectiveState : r.enteredState;
        cause = std::string("asked ") + StateName(r.requestedState) + ", entered " + StateName(entered);
        break;
    }
    default:
        break;
    }
    return cause;
}

// The verdict with its cause, coarse enough that the same cause on two sleeps
// is one kind: no times, no cycles; an early or late wake names its source.
static std::string SleepKind(const SleepRecord& r) {
    std::string what = VerdictId(r.verdict)[0] ? VerdictId(r.verdict) : "failed";
    switch (r.verdict) {
    case VERDICT_TOO_SHORT:
    case VERDICT_TOO_LONG:
        if (r.wakeSource[0]) what += std::string(", woken by ") + r.wakeSource;
        break;
    case VERDICT_REFUSED:
    case VERDICT_WRONG_STATE:
        what += ": " + FailureCause(r);
        break;
    default:
        break;
    }
    return what;
}

static std::string DeviceHappened(const DeviceEntry& d, bool missing) {
    if (missing) return "missing";
    std::string text = DeviceProblemText(d.code), number = std::to_string(d.code);
    return text == "problem code " + number ? text : text + " (code " + number + ")";
}

std::vector<FailureKey> FailureKeysOf(const SleepRecord& r) {
    std::vector<FailureKey> keys;
    if (r.verdict == VERDICT_LOST) {
        std::string what = r.lostReason != LOST_NONE ? LostReasonId(r.lostReason) : "unknown";
        if (r.bugcheck[0]) what += std::string(", bug check ") + r.bugcheck;
        keys.push_back({KIND_LOST, what, ""});
    } else if (r.verdict != VERDICT_OK && r.verdict != VERDICT_DEVICE_FAULT) {
        keys.push_back({KIND_SLEEP, SleepKind(r), ""});  // a device fault is told by its devices
    }
    if (!HasDeviceFault(r.devices)) {
        if (r.verdict == VERDICT_DEVICE_FAULT) keys.push_back({KIND_SLEEP, SleepKind(r), ""});
        return keys;
    }
    // A device counts once a sleep, whatever else is listed under its name.
    size_t first = keys.size();
    for (int list = 0; list < 2; list++) {
        const std::vector<DeviceEntry>& devices = list == 0 ? r.devices.missing : r.devices.problems;
        for (const DeviceEntry& d : devices) {
            const std::string& name = d.name.empty() ? d.id : d.name;
            bool named = false;
            for (size_t k = first; k < keys.size() && !named; k++) named = keys[k].what == name;
            if (!named) keys.push_back({KIND_DEVICE, name, DeviceHappened(d, list == 0)});
        }
    }
    return keys;
}
