// The names in kestrel's record (--events) that other programs read:
// kestrel-gang follows its runs and writes its results by them.
#pragma once

// Every line: {"event":NAME,"t":SECONDS,...}
constexpr const char *FIELD_EVENT = "event";
constexpr const char *FIELD_T = "t";

constexpr const char *EVENT_START = "start";
constexpr const char *EVENT_STAGE = "stage";
constexpr const char *EVENT_PROGRESS = "progress";
constexpr const char *EVENT_DEVICE = "device";
constexpr const char *EVENT_RECOVERY = "recovery";
constexpr const char *EVENT_RESULT = "result";

// "stage": the stage and whether it begins or ends; "progress": its percentage.
constexpr const char *FIELD_STAGE = "stage";
constexpr const char *FIELD_STATE = "state";
constexpr const char *STATE_BEGIN = "begin";
constexpr const char *STATE_END = "end";
constexpr const char *FIELD_PERCENT = "percent";

// "device": the selected device's code.
constexpr const char *FIELD_CODE = "code";

// "result", in the order written.
constexpr const char *FIELD_STATUS = "status";
constexpr const char *FIELD_FAILED_STAGE = "failed_stage";
constexpr const char *FIELD_ERASED_BLOCKS = "erased_blocks";
constexpr const char *FIELD_PROGRAMMED_UNITS = "programmed_units";
constexpr const char *FIELD_SKIPPED_UNITS = "skipped_units";
constexpr const char *FIELD_BYTES_LOADED = "bytes_loaded";
constexpr const char *FIELD_SUM = "sum"; // null, or {"device":HEX,"expected":HEX}
constexpr const char *FIELD_SUM_DEVICE = "device";
constexpr const char *FIELD_SUM_EXPECTED = "expected";
constexpr const char *FIELD_SECONDS = "seconds";
