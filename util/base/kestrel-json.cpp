// JSON string escaping with UTF-8 validation.
#include "kestrel-json.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace
{

// The length of the well-formed UTF-8 sequence at s (at most n bytes), or 0
// with *bad set to the length of its maximal ill-formed prefix (at least 1).
// The second byte's range depends on the lead byte: this excludes overlong
// forms, surrogates and code points above U+10FFFF.
size_t utf8_sequence(const uint8_t *s, size_t n, size_t *bad)
{
    const uint8_t b = s[0];
    size_t len = 0;
    uint8_t lo = 0x80;
    uint8_t hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        lo = b == 0xE0 ? 0xA0 : 0x80;
        hi = b == 0xED ? 0x9F : 0xBF;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        lo = b == 0xF0 ? 0x90 : 0x80;
        hi = b == 0xF4 ? 0x8F : 0xBF;
    } else {
        *bad = 1;
        return 0;
    }
    size_t i = 1;
    for (; i < len && i < n; ++i) {
        const uint8_t c = s[i];
        if (i == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xBF))
            break;
    }
    if (i == len)
        return len;
    *bad = i;
    return 0;
}

} // namespace

void json_append_string(std::string &out, const char *s, size_t n)
{
    const auto *p = reinterpret_cast<const uint8_t *>(s);
    out += '"';
    size_t i = 0;
    while (i < n) {
        const uint8_t c = p[i];
        if (c >= 0x80) {
            size_t bad = 0;
            const size_t len = utf8_sequence(p + i, n - i, &bad);
            if (len != 0) {
                out.append(s + i, len);
                i += len;
            } else {
                out += "\\ufffd";
                i += bad;
            }
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char esc[8];
                snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    out += '"';
}

void json_append_string(std::string &out, const char *s)
{
    if (s == nullptr)
        out += "null";
    else
        json_append_string(out, s, strlen(s));
}
