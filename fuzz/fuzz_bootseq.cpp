// The boot and run sequence parser on arbitrary text: the input up to its
// first NUL byte is one option value. An oracle written apart from the parser,
// on whole strings, decides which sequences are valid and what their steps
// are. Checked every time: a valid sequence is accepted with exactly the
// oracle's steps; any other is refused with ERR_OPTION_INVALID_VALUE and a
// report that names the first step the oracle finds bad, quoted as written.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "boot-lines.h"
#include "error.h"

namespace
{

struct oracle_step {
    boot_step_e kind;
    unsigned level = 0;
    unsigned value = 0;
    std::string chip;
};

struct verdict {
    bool ok = true;
    int bad_step = 0; // 1-based; 0 with !ok: the whole sequence is empty
    std::vector<oracle_step> steps;
};

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> parts(1);
    for (char c : s) {
        if (c == sep)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

// Digits only; the value when it is at most max.
bool number(const std::string &s, unsigned max, unsigned *v)
{
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const std::string digits = s.substr(std::min(s.find_first_not_of('0'), s.size() - 1));
    if (digits.size() > 9)
        return false;
    *v = static_cast<unsigned>(std::stoul(digits));
    return *v <= max;
}

bool level(const std::string &s, unsigned *v)
{
    if (s != "0" && s != "1")
        return false;
    *v = s == "1" ? 1 : 0;
    return true;
}

bool step_ok(const std::string &text, oracle_step *st)
{
    const size_t eq = text.find('=');
    if (eq == std::string::npos)
        return false;
    const std::string key = text.substr(0, eq), val = text.substr(eq + 1);
    if (key == "dtr" || key == "rts") {
        st->kind = key == "dtr" ? STEP_DTR : STEP_RTS;
        return level(val, &st->level);
    }
    if (key == "break" || key == "wait") {
        st->kind = key == "break" ? STEP_BREAK : STEP_WAIT;
        return number(val, 60000, &st->value) && (key == "wait" || st->value >= 1);
    }
    if (key != "gpio")
        return false;
    st->kind = STEP_GPIO;
    const size_t last_eq = val.rfind('=');
    if (last_eq == std::string::npos)
        return false;
    const std::string where = val.substr(0, last_eq);
    const size_t colon = where.rfind(':');
    if (colon == std::string::npos)
        return false;
    st->chip = where.substr(0, colon);
    return !st->chip.empty() && st->chip.size() <= 63 &&
           number(where.substr(colon + 1), 65535, &st->value) &&
           level(val.substr(last_eq + 1), &st->level);
}

verdict judge(const std::string &text)
{
    verdict v;
    if (text.empty()) {
        v.ok = false;
        return v;
    }
    const std::vector<std::string> parts = split(text, ',');
    for (size_t i = 0; i < parts.size(); ++i) {
        oracle_step st{};
        if (!step_ok(parts[i], &st)) {
            v.ok = false;
            v.bad_step = static_cast<int>(i + 1);
            return v;
        }
        v.steps.push_back(st);
    }
    return v;
}

// The report local_perror prints, caught in memory.
std::string report()
{
    static char buf[4096];
    memset(buf, 0, sizeof buf);
    FILE *saved = stderr;
    FILE *mem = fmemopen(buf, sizeof buf - 1, "w");
    ASSERT(mem != nullptr);
    stderr = mem;
    errno = 0;
    local_perror(nullptr);
    fclose(mem);
    stderr = saved;
    return buf;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *chars = reinterpret_cast<const char *>(data);
    const std::string text = size == 0 ? std::string() : std::string(chars, strnlen(chars, size));
    const verdict want = judge(text);
    boot_seq_t seq{-1, nullptr};
    const int r = parse_sequence(text.c_str(), "--fuzz", &seq);
    if (!want.ok) {
        ASSERT(r == -1 && seq.count == -1 && seq.steps == nullptr);
        ASSERT(local_errno == ERR_OPTION_INVALID_VALUE);
        const std::string got = report();
        std::string head = "Invalid option value for option --fuzz: ";
        if (want.bad_step == 0) {
            head += "empty sequence (4)\n";
        } else {
            const std::string bad = split(text, ',')[static_cast<size_t>(want.bad_step - 1)];
            head += "step " + std::to_string(want.bad_step) +
                    (bad.empty() ? " is empty (4)\n" : " '" + bad + "': ");
        }
        // The detail is kept to 1022 characters; what fits must be exact.
        head.resize(std::min(head.size(), static_cast<size_t>(1000)));
        ASSERT(got.compare(0, head.size(), head) == 0);
        return 0;
    }
    ASSERT(r == 0 && seq.count == static_cast<int>(want.steps.size()));
    for (int i = 0; i < seq.count; ++i) {
        const boot_step_t &s = seq.steps[i];
        const oracle_step &o = want.steps[static_cast<size_t>(i)];
        ASSERT(s.kind == o.kind);
        if (o.kind == STEP_GPIO)
            ASSERT(o.chip == s.chip);
        if (o.kind != STEP_BREAK && o.kind != STEP_WAIT)
            ASSERT(s.level == o.level);
        if (o.kind != STEP_DTR && o.kind != STEP_RTS)
            ASSERT(s.value == o.value);
    }
    free(seq.steps);
    return 0;
}
