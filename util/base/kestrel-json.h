// JSON text for the run's record and for kestrel-gang's results: strings
// escaped so that any bytes, file names included, give valid JSON.
#pragma once

#include <cstddef>
#include <string>

/* json_append_string
 * Appends n bytes of s to out as one JSON string, quotes included. Quotes and
 * backslashes are escaped, control characters become \b, \f, \n, \r, \t or
 * \u00XX, well-formed UTF-8 is kept as it is, and every maximal part of an
 * ill-formed byte sequence becomes one U+FFFD (written \ufffd), the policy of
 * Python's "replace" decoder. Never fails but for memory (std::bad_alloc). */
void json_append_string(std::string &out, const char *s, size_t n);

/* json_append_string
 * The same for a terminated string; null appends null. */
void json_append_string(std::string &out, const char *s);
