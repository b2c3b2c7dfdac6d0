// The run status file: where a run stands, for a poller that never saw its
// process (a run taken back after a power loss goes on in another one).
#include <string.h>
#include <nlohmann/json.hpp>
#include "results/results.h"

const char* RunStatusId(int status) {
    static const char* const ids[RUN_STATUS_COUNT] = {"running", "finished", "stopped", "refused"};
    return status >= 0 && status < RUN_STATUS_COUNT ? ids[status] : "";
}

namespace {

using Json = nlohmann::ordered_json;

Json TextOrNull(const char* text, size_t size) {
    if (!text || !text[0]) return Json(nullptr);
    char clean[1024];
    CopyUtf8(clean, size < sizeof(clean) ? size : sizeof(clean), text);
    return Json(clean);
}

Json TimeOrNull(long long fileTime) {
    char text[32];
    FormatUtcTime(fileTime, text, sizeof(text));
    return text[0] ? Json(text) : Json(nullptr);
}

}  // namespace

std::string FormatRunStatus(const RunStatus* s) {
    Json status = Json::object();
    status["run_id"] = TextOrNull(s->runId, sizeof(s->runId));
    status["computer"] = TextOrNull(s->computer, sizeof(s->computer));
    status["state"] = RunStatusId(s->state);
    status["start_utc"] = TimeOrNull(s->startUtc);
    status["update_utc"] = TimeOrNull(s->updateUtc);
    status["end_utc"] = TimeOrNull(s->endUtc);
    status["next_update_by"] = s->state == RUN_STATUS_RUNNING ? TimeOrNull(s->nextUpdateBy) : Json(nullptr);
    status["cycles_done"] = s->cyclesDone;
    status["cycles_planned"] = s->cyclesPlanned > 0 ? Json(s->cyclesPlanned) : Json(nullptr);
    Json verdicts = Json::object();
    for (int v = 0; v < VERDICT_COUNT; v++) verdicts[VerdictId(v)] = s->verdicts[v];
    status["verdicts"] = verdicts;
    status["exit_code"] = s->exitCodeKnown ? Json(s->exitCode) : Json(nullptr);
    status["command_line"] = TextOrNull(s->commandLine, sizeof(s->commandLine));
    status["results"] = TextOrNull(s->results, sizeof(s->results));
    status["report"] = TextOrNull(s->report, sizeof(s->report));
    status["log"] = TextOrNull(s->log, sizeof(s->log));
    status["junit"] = TextOrNull(s->junit, sizeof(s->junit));
    status["schema"] = RECORD_SCHEMA;
    return status.dump(-1, ' ', true, Json::error_handler_t::replace) + "\n";
}
