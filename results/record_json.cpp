// The record of a sleep as one line of JSON, both ways, through one table of
// fields: the order of the table is the order of the keys in the file.
#include <string.h>
#include <nlohmann/json.hpp>
#include "results/results.h"

namespace {

using Json = nlohmann::ordered_json;

// A text of the record, or null when it is empty.
Json TextOrNull(const char* text) { return text && text[0] ? Json(text) : Json(nullptr); }

Json IdOrNull(const char* id) { return TextOrNull(id ? id : ""); }

// Reads an optional value: null or missing leaves the record's "unknown";
// a value of another kind fails the line.
bool IsNull(const Json* value) { return value == nullptr || value->is_null(); }

bool ReadInt(const Json* value, long long* out) {
    if (IsNull(value)) return true;
    if (!value->is_number_integer()) return false;
    *out = value->get<long long>();
    return true;
}

bool ReadInt(const Json* value, int* out) {
    long long wide = *out;
    if (!ReadInt(value, &wide)) return false;
    if (wide < -0x7FFFFFFFLL - 1 || wide > 0x7FFFFFFFLL) return false;
    *out = (int)wide;
    return true;
}

bool ReadText(const Json* value, char* out, size_t outSize) {
    if (IsNull(value)) return true;
    if (!value->is_string()) return false;
    CopyUtf8(out, outSize, value->get_ref<const std::string&>().c_str());
    return true;
}

// An id of one of the record's families; an id this build does not know reads
// as unknown (null or missing leaves the record's own value).
bool ReadId(const Json* value, int (*fromId)(const char*), int* out, int unknown = -1) {
    char text[64] = "";
    if (!ReadText(value, text, sizeof(text))) return false;
    if (text[0]) {
        int id = fromId(text);
        *out = id < 0 ? unknown : id;
    }
    return true;
}

bool ReadTime(const Json* value, long long* out) {
    char text[48] = "";
    if (!ReadText(value, text, sizeof(text))) return false;
    // A time the program did not write is left unknown rather than failing the record.
    if (text[0] && !ParseUtcTime(text, out)) *out = 0;
    return true;
}

Json WritePhases(const SleepRecord& r) {
    if (!r.phasesKnown) return Json(nullptr);
    Json phases = Json::object();
    for (int i = 0; i < PHASE_COUNT; i++) {
        if (r.phases[i].known) phases[PHASE_KEYS[i]] = r.phases[i].value;
    }
    return phases;
}

bool ReadPhases(const Json* value, SleepRecord* r) {
    if (IsNull(value)) return true;
    if (!value->is_object()) return false;
    r->phasesKnown = true;
    for (int i = 0; i < PHASE_COUNT; i++) {
        auto item = value->find(PHASE_KEYS[i]);
        if (item == value->end() || item->is_null()) continue;
        if (!item->is_number_integer()) return false;
        r->phases[i].known = true;
        r->phases[i].value = item->get<long long>();
    }
    return true;
}

Json OptionalOrNull(const OptionalValue& value) { return value.known ? Json(value.value) : Json(nullptr); }

bool ReadOptional(const Json& object, const char* key, OptionalValue* out) {
    auto item = object.find(key);
    if (item == object.end() || item->is_null()) return true;
    if (!item->is_number_integer()) return false;
    *out = {true, item->get<long long>()};
    return true;
}

Json DeviceList(const std::vector<DeviceEntry>& devices, bool withCode) {
    Json list = Json::array();
    for (const DeviceEntry& d : devices) {
        Json device = Json::object();
        device["id"] = d.id;
        device["name"] = d.name;
        device["class"] = d.cls;
        if (withCode) device["code"] = d.code;
        list.push_back(std::move(device));
    }
    return list;
}

bool ReadDeviceList(const Json& object, const char* key, bool withCode, std::vector<DeviceEntry>* out) {
    auto list = object.find(key);
    if (list == object.end() || list->is_null()) return true;
    if (!list->is_array()) return false;
    for (const Json& item : *list) {
        if (!item.is_object()) return false;
        DeviceEntry device{"", "", "", 0};
        const char* keys[] = {"id", "name", "class"};
        std::string* texts[] = {&device.id, &device.name, &device.cls};
        for (int i = 0; i < 3; i++) {
            auto text = item.find(keys[i]);
            if (text == item.end() || text->is_null()) continue;
            if (!text->is_string()) return false;
            *texts[i] = text->get<std::string>();
        }
        if (withCode) {
            auto code = item.find("code");
            if (code != item.end() && !ReadInt(&*code, &device.code)) return false;
        }
        out->push_back(std::move(device));
    }
    return true;
}

Json WriteDevices(const SleepRecord& r) {
    if (!r.devices.known) return Json(nullptr);
    Json devices = Json::object();
    devices["present"] = r.devices.present;
    devices["missing"] = DeviceList(r.devices.missing, false);
    devices["problems"] = DeviceList(r.devices.problems, true);
    devices["appeared"] = r.devices.appeared;
    return devices;
}

bool ReadDevices(const Json* value, SleepRecord* r) {
    if (IsNull(value)) return true;
    if (!value->is_object()) return false;
    DeviceCheck check;
    check.known = true;
    check.present = 0;
    check.appeared = 0;
    auto present = value->find("present");
    auto appeared = value->find("appeared");
    if (!ReadInt(present == value->end() ? nullptr : &*present, &check.present) ||
        !ReadInt(appeared == value->end() ? nullptr : &*appeared, &check.appeared) ||
        !ReadDeviceList(*value, "missing", false, &check.missing) ||
        !ReadDeviceList(*value, "problems", true, &check.problems))
        return false;
    r->devices = std::move(check);
    return true;
}

Json WriteBattery(const SleepRecord& r) {
    if (!r.battery.known) return Json(nullptr);
    Json battery = Json::object();
    battery["ac"] = r.battery.ac;
    battery["before_mwh"] = OptionalOrNull(r.battery.beforeMwh);
    battery["after_mwh"] = OptionalOrNull(r.battery.afterMwh);
    battery["drain_mw"] = OptionalOrNull(r.battery.drainMw);
    return battery;
}

bool ReadBattery(const Json* value, SleepRecord* r) {
    if (IsNull(value)) return true;
    if (!value->is_object()) return false;
    BatteryFigures battery = {true, false, {false, 0}, {false, 0}, {false, 0}};
    auto ac = value->find("ac");
    if (ac != value->end() && !ac->is_null()) {
        if (!ac->is_boolean()) return false;
        battery.ac = ac->get<bool>();
    }
    if (!ReadOptional(*value, "before_mwh", &battery.beforeMwh) ||
        !ReadOptional(*value, "after_mwh", &battery.afterMwh) || !ReadOptional(*value, "drain_mw", &battery.drainMw))
        return false;
    r->battery = battery;
    return true;
}

Json Time(long long fileTime) {
    char text[32];
    FormatUtcTime(fileTime, text, sizeof(text));
    return TextOrNull(text);
}

struct Field {
    const char* key;
    Json (*write)(const SleepRecord& r);
    bool (*read)(const Json* value, SleepRecord* r);
};

const Field FIELDS[] = {
    {"cycle", [](const SleepRecord& r) { return Json(r.cycle); },
     [](const Json* v, SleepRecord* r) { return !IsNull(v) && ReadInt(v, &r->cycle); }},
    {"requested_state", [](const SleepRecord& r) { return IdOrNull(StateId(r.requestedState)); },
     [](const Json* v, SleepRecord* r) { return ReadId(v, StateFromId, &r->requestedState); }},
    {"entered_state", [](const SleepRecord& r) { return IdOrNull(StateId(r.enteredState)); },
     [](const Json* v, SleepRecord* r) { return ReadId(v, StateFromId, &r->enteredState); }},
    {"fallback", [](const SleepRecord& r) { return IdOrNull(FallbackId(r.fallback)); },
     [](const Json* v, SleepRecord* r) { return ReadId(v, FallbackFromId, &r->fallback); }},
    {"requested_sec",
     [](const SleepRecord& r) { return r.requestedSec >= 0 ? Json(r.requestedSec) : Json(nullptr); },
     [](const Json* v, SleepRecord* r) { return ReadInt(v, &r->requestedSec); }},
    {"measured_sec", [](const SleepRecord& r) { return Json(r.measuredSec); },
     [](const Json* v, SleepRecord* r) { return ReadInt(v, &r->measuredSec); }},
    {"asleep_sec",
     [](const SleepRecord& r) { return r.asleepSource != ASLEEP_UNKNOWN ? Json(r.asleepSec) : Json(nullptr); },
     [](const Json* v, SleepRecord* r) { return ReadInt(v, &r->asleepSec); }},
    {"asleep_source", [](const SleepRecord& r) { return IdOrNull(AsleepSourceId(r.asleepSource)); },
     [](const Json* v, SleepRecord* r) { return ReadId(v, AsleepSourceFromId, &r->asleepSource, ASLEEP_UNKNOWN); }},
    {"verdict", [](const SleepRecord& r) { return Json(VerdictId(r.verdict)); },
     [](const Json* v, SleepRecord* r) {
         r->verdict = -1;
         return !IsNull(v) && ReadId(v, VerdictFromId, &r->verdict) && r->verdict >= 0;
     }},
    {"wake_source", [](const SleepRecord& r) { return TextOrNull(r.wakeSource); },
     [](const Json* v, SleepRecord* r) { return ReadText(v, r->wakeSource, sizeof(r->wakeSource)); }},
    {"start_utc", [](const SleepRecord& r) { return Time(r.startUtc); },
     [](const Json* v, SleepRecord* r) { return ReadTime(v, &r->startUtc); }},
    {"end_utc", [](const SleepRecord& r) { return Time(r.endUtc); },
     [](const Json* v, SleepRecord* r) { return ReadTime(v, &r->endUtc); }},
    {"error_code", [](const SleepRecord& r) { return Json(r.errorCode); },
     [](const Json* v, SleepRecord* r) { return ReadInt(v, &r->errorCode); }},
    {"reason", [](const SleepRecord& r) { return IdOrNull(RefusedReasonId(r.reason)); },
     [](const Json* v, SleepRecord* r) { return ReadId(v, RefusedReasonFromId, &r->reason, REFUSED_NONE); }},
    {"phases", WritePhases, ReadPhases},
    {"target_state", [](const SleepRecord& r) { return IdOrNull(StateId(r.targetState)); },
     [](const Json* v, SleepRecord* r) { return ReadId(v, StateFromId, &r->targetState); }},
    {"effective_state", [](const SleepRecord& r) { return IdOrNull(StateId(r.effectiveState)); },
     [](const Json* v, SleepRecord* r) { return ReadId(v, StateFromId, &r->effectiveState); }},
    {"lost_reason", [](const SleepRecord& r) { return IdOrNull(LostReasonId(r.lostReason)); },
     // A reason this build does not know is still a reason: unknown.
     [](const Json* v, SleepRecord* r) { return ReadId(v, LostReasonFromId, &r->lostReason, LOST_UNKNOWN); }},
    {"bugcheck", [](const SleepRecord& r) { return TextOrNull(r.bugcheck); },
     [](const Json* v, SleepRecord* r) { return ReadText(v, r->bugcheck, sizeof(r->bugcheck)); }},
    {"devices", WriteDevices, ReadDevices},
    {"battery", WriteBattery, ReadBattery},
    {"run_id", [](const SleepRecord& r) { return TextOrNull(r.runId); },
     [](const Json* v, SleepRecord* r) { return ReadText(v, r->runId, sizeof(r->runId)); }},
    {"computer", [](const SleepRecord& r) { return TextOrNull(r.computer); },
     [](const Json* v, SleepRecord* r) { return ReadText(v, r->computer, sizeof(r->computer)); }},
    // Written by this build whatever the record says: the key set is this build's.
    {"schema", [](const SleepRecord&) { return Json(RECORD_SCHEMA); },
     [](const Json* v, SleepRecord* r) { return ReadInt(v, &r->schema); }},
};

}  // namespace

bool FormatResultLine(const SleepRecord* record, std::string* out) {
    SleepRecord clean = *record;
    // Texts from the system are UTF-8 by now; anything else must not reach the library.
    CopyUtf8(clean.wakeSource, sizeof(clean.wakeSource), record->wakeSource);
    CopyUtf8(clean.bugcheck, sizeof(clean.bugcheck), record->bugcheck);
    CopyUtf8(clean.runId, sizeof(clean.runId), record->runId);
    CopyUtf8(clean.computer, sizeof(clean.computer), record->computer);
    Json line = Json::object();
    for (const Field& field : FIELDS) line[field.key] = field.write(clean);
    *out = line.dump(-1, ' ', true, Json::error_handler_t::replace);
    *out += '\n';
    // The reader takes no longer line, and neither does a buffer of RESULT_LINE_SIZE with its terminator.
    if (out->size() < RESULT_LINE_SIZE) return true;
    out->clear();
    return false;
}

bool FormatResultLine(const SleepRecord* record, char* out, size_t outSize) {
    if (outSize > 0) out[0] = '\0';
    std::string text;
    if (!FormatResultLine(record, &text)) return false;
    text.pop_back();
    if (text.size() + 2 > outSize) return false;
    memcpy(out, text.data(), text.size());
    out[text.size()] = '\n';
    out[text.size() + 1] = '\0';
    return true;
}

namespace {

const int FIELD_COUNT = (int)(sizeof(FIELDS) / sizeof(FIELDS[0]));

// Reads a line straight into the record, without building the whole object
// first: each member of the record's own object goes to its field's reader as
// soon as it is complete; members of no field, however nested, are skipped.
class RecordReader : public nlohmann::json_sax<Json> {
public:
    explicit RecordReader(SleepRecord* out) : out_(out) {}

    bool null() override { return Value(Json(nullptr)); }
    bool boolean(bool value) override { return Value(Json(value)); }
    bool number_integer(number_integer_t value) override { return Value(Json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return Value(Json(value)); }
    bool number_float(number_float_t value, const string_t&) override { return Value(Json(value)); }
    bool string(string_t& value) override { return Value(Json(std::move(value))); }
    bool binary(binary_t&) override { return Value(Json(nullptr)); }

    bool start_object(std::size_t) override {
        if (depth_ == 0) {
            depth_ = 1;
            return true;
        }
        return Open(Json::object());
    }
    bool end_object() override { return Close(); }
    bool start_array(std::size_t) override {
        if (depth_ == 0) return false;  // a record is an object
        return Open(Json::array());
    }
    bool end_array() override { return Close(); }

    bool key(string_t& name) override {
        if (depth_ == 1) {
            // The program writes the fields in the table's order: try the next one first.
            field_ = -1;
            if (next_ < FIELD_COUNT && name == FIELDS[next_].key) {
                field_ = next_;
            } else {
                for (int i = 0; i < FIELD_COUNT && field_ < 0; i++) {
                    if (name == FIELDS[i].key) field_ = i;
                }
            }
            if (field_ >= 0) next_ = field_ + 1;
        } else if (field_ >= 0) {
            key_ = name;  // a member inside one of the record's nested fields
        }
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

    // After the whole line: every field that was not there, as missing.
    bool Finish() {
        if (depth_ != 0 || !whole_) return false;
        for (int i = 0; i < FIELD_COUNT; i++) {
            if (!seen_[i] && !FIELDS[i].read(nullptr, out_)) return false;
        }
        return true;
    }

private:
    // A complete value at the current depth.
    bool Value(Json value) {
        if (depth_ == 1) return Take(std::move(value));
        if (field_ >= 0 && !open_.empty()) Add(std::move(value), key_);
        return true;
    }
    // Into the innermost open container of a field: by key, or at the end of a list.
    void Add(Json value, const std::string& name) {
        Json& into = open_.back();
        if (into.is_object()) {
            into[name] = std::move(value);
        } else {
            into.push_back(std::move(value));
        }
    }
    bool Open(Json container) {
        depth_++;
        // The fields' values are built whole; members of no field are passed over.
        if (depth_ >= 2 && field_ >= 0) {
            open_.push_back(std::move(container));
            names_.push_back(key_);
        }
        return true;
    }
    bool Close() {
        depth_--;
        if (depth_ == 0) {
            whole_ = true;
            return true;
        }
        if (field_ < 0 || open_.empty()) return true;
        Json done = std::move(open_.back());
        std::string name = std::move(names_.back());
        open_.pop_back();
        names_.pop_back();
        if (open_.empty()) return Take(std::move(done));
        Add(std::move(done), name);
        return true;
    }
    bool Take(Json value) {
        if (field_ < 0) return true;
        seen_[field_] = true;
        bool read = FIELDS[field_].read(&value, out_);
        field_ = -1;
        return read;
    }

    SleepRecord* out_;
    int depth_ = 0;
    int field_ = -1;
    int next_ = 0;
    bool whole_ = false;
    bool seen_[sizeof(FIELDS) / sizeof(FIELDS[0])] = {};
    std::string key_;
    std::vector<Json> open_;          // the containers of the field being read, outermost first
    std::vector<std::string> names_;  // the key each one goes under in its parent
};

}  // namespace

bool ParseResultRecord(const char* line, size_t length, SleepRecord* out) {
    ClearSleepRecord(out);
    RecordReader reader(out);
    return Json::sax_parse(line, line + length, &reader, nlohmann::detail::input_format_t::json, true) &&
           reader.Finish();
}
