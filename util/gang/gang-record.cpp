// kestrel-gang's reading of kestrel's record.
#include "gang-record.h"

#include <cstdio>
#include <cstdlib>

#include "kestrel-fields.h"
#include "kestrel-json.h"

namespace
{

void skip_ws(const std::string &text, size_t &i)
{
    while (i < text.size() &&
           (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n'))
        ++i;
}

// Moves i past the JSON value that starts there (a string, an object or array
// with everything in it, or a literal up to the next ',' or '}'). False when
// it is cut short.
bool skip_value(const std::string &text, size_t &i)
{
    int depth = 0;
    bool in_string = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
                if (depth == 0) {
                    ++i;
                    return true;
                }
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (depth == 0)
                return true;
            if (--depth == 0) {
                ++i;
                return true;
            }
        } else if (c == ',' && depth == 0) {
            return true;
        }
    }
    return !in_string && depth == 0;
}

} // namespace

std::string json_value(const std::string &obj, const char *key)
{
    std::string quoted = "\"";
    quoted += key;
    quoted += '"';
    size_t i = 0;
    skip_ws(obj, i);
    if (i >= obj.size() || obj[i] != '{')
        return "";
    ++i;
    for (;;) {
        skip_ws(obj, i);
        const size_t kstart = i;
        if (kstart >= obj.size() || obj[kstart] != '"' || !skip_value(obj, i))
            return "";
        const bool match = obj.compare(kstart, i - kstart, quoted) == 0;
        skip_ws(obj, i);
        if (i >= obj.size() || obj[i] != ':')
            return "";
        ++i;
        skip_ws(obj, i);
        const size_t vstart = i;
        if (!skip_value(obj, i))
            return "";
        if (match) {
            size_t vend = i;
            while (vend > vstart && (obj[vend - 1] == ' ' || obj[vend - 1] == '\n'))
                --vend;
            return obj.substr(vstart, vend - vstart);
        }
        skip_ws(obj, i);
        if (i >= obj.size() || obj[i] != ',')
            return "";
        ++i;
    }
}

std::string unquote(const std::string &v)
{
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
        return v.substr(1, v.size() - 2);
    return v;
}

bool take_record_line(run_view_t &v, const std::string &line)
{
    const std::string event = unquote(json_value(line, FIELD_EVENT));
    if (event == EVENT_STAGE && unquote(json_value(line, FIELD_STATE)) == STATE_BEGIN) {
        v.stage = unquote(json_value(line, FIELD_STAGE));
        v.percent = -1;
        return true;
    }
    if (event == EVENT_PROGRESS)
        v.percent = static_cast<int>(strtol(json_value(line, FIELD_PERCENT).c_str(), nullptr, 10));
    else if (event == EVENT_DEVICE)
        v.code = unquote(json_value(line, FIELD_CODE));
    else if (event == EVENT_RECOVERY)
        ++v.recoveries;
    else if (event == EVENT_RESULT)
        v.result = line;
    return false;
}

std::string result_failed_stage(const std::string &result)
{
    const std::string failed = unquote(json_value(result, FIELD_FAILED_STAGE));
    return failed == "null" ? "" : failed;
}

std::string result_device_sum(const std::string &result)
{
    return unquote(json_value(json_value(result, FIELD_SUM), FIELD_SUM_DEVICE));
}

std::string fallback_result(const std::string &port_field, int status, double seconds)
{
    std::string out = "{" + port_field;
    auto key = [&out](const char *name) {
        out += ',';
        json_append_string(out, name);
        out += ':';
    };
    char num[32];
    key(FIELD_EVENT);
    json_append_string(out, EVENT_RESULT);
    snprintf(num, sizeof num, "%.3f", seconds);
    key(FIELD_T);
    out += num;
    key(FIELD_STATUS);
    out += std::to_string(status);
    key(FIELD_FAILED_STAGE);
    out += "null";
    for (const char *zero :
         {FIELD_ERASED_BLOCKS, FIELD_PROGRAMMED_UNITS, FIELD_SKIPPED_UNITS, FIELD_BYTES_LOADED}) {
        key(zero);
        out += '0';
    }
    key(FIELD_SUM);
    out += "null";
    key(FIELD_SECONDS);
    out += num;
    out += '}';
    return out;
}
