// kestrel-gang's reading of kestrel's record (--events on a pipe): the values
// of one JSON line, and what a line tells about the run it comes from.
#pragma once

#include <string>

/* json_value
 * The raw text of the value of key in one JSON object of kestrel's record (a
 * string keeps its quotes); empty when the key is missing or the text is not
 * an object. Strings and nested values are skipped whole, so a key inside a
 * file name never matches. */
std::string json_value(const std::string &obj, const char *key);

/* unquote
 * A string value without its quotes (escapes left as they are), or the raw
 * text. */
std::string unquote(const std::string &v);

// What a run's record has said so far.
struct run_view_t {
    std::string stage = "wait"; // current or last stage
    int percent = -1;           // of the current stage, -1 for none
    unsigned recoveries = 0;
    std::string code;   // device code
    std::string result; // the result line, without its line end
};

/* take_record_line
 * Takes one line of the record into v. Returns true when it began a new stage. */
bool take_record_line(run_view_t &v, const std::string &line);

/* result_failed_stage, result_device_sum
 * The failed stage and the device's sum in a result line; empty when it has
 * none (a null is empty too). */
std::string result_failed_stage(const std::string &result);
std::string result_device_sum(const std::string &result);

/* fallback_result
 * The result object for a run that wrote none (kestrel did not start or died):
 * its status, nothing done, and seconds for both its time fields, with the
 * fields kestrel's own result has. port_field is the text that goes first
 * inside the braces (`"port":...`). */
std::string fallback_result(const std::string &port_field, int status, double seconds);
