// Table-driven parser of short and long command-line options.
#pragma once

enum opt_type_e : int {
    OPT_TYPE_END = 0,     // ends a table
    OPT_TYPE_BOOLEAN = 1, // stores the int 1 through opt_ptr
    OPT_TYPE_COUNTER = 2, // adds 1 to the int at opt_ptr
    OPT_TYPE_INTEGER = 3, // parses values into the array at opt_ptr (opt_flags apply)
    OPT_TYPE_STRING = 4,  // stores the address of the value into the char * at opt_ptr
    OPT_TYPE_MULTIPLE =
        5, // stores a new null-terminated array of values into the char ** at opt_ptr
    OPT_TYPE_FUNCTION = 6, // calls the opt_func_t at opt_ptr
    OPT_TYPE_USAGE = 7,    // calls the void (*)() at opt_ptr, then exits with status 0
};

// opt_flags bits, used by OPT_TYPE_INTEGER only.
enum {
    OPT_FLAG_HEX = 0x01,
    OPT_FLAG_NONZERO = 0x02,
    OPT_FLAG_SIZE_MASK = 0x70,
    OPT_FLAG_SIZE_INT = 0x00,
    OPT_FLAG_SIZE_CHAR = 0x10,
    OPT_FLAG_SIZE_SHORT = 0x20,
    OPT_FLAG_SIZE_LONG = 0x30,
};

struct opt_desc;

/* opt_func_t
 * Callback of OPT_TYPE_FUNCTION: gets the option, the number of values
 * available and the null-terminated value array (temporary: keep the value
 * texts, not the array). Returns how many values it consumed, or a negative
 * value after recording an error with set_local_errno. */
typedef int (*opt_func_t)(const opt_desc *opt, int argc, char **args);

struct opt_desc {
    int opt_char;         // short option character, 0 for none
    const char *opt_long; // long name without "--", null for none
    opt_type_e opt_type;
    int opt_minarg;
    int opt_maxarg;
    int opt_flags;
    void *opt_ptr; // target variable or function, by kind
};

/* egetopt
 * Parses argv (null-terminated, without the program name) against the table
 * opts. Stops at the first argument that does not begin with '-', at a lone
 * "-" (not consumed) or after "--" (consumed). On success stores the position
 * of the first unprocessed argument through pnextarg (if not null) and returns
 * 0; on the first error records it with set_local_errno and returns -1, with
 * *pnextarg untouched. Values stored before an error stay stored. The argument
 * texts must be writable: '=' is cut and restored, a trailing 'L' is cut. */
int egetopt(const opt_desc *opts, char **argv, char ***pnextarg);

// The first entry before the end entry with this short character, or null.
const opt_desc *find_option_short(const opt_desc *opts, int ch);

// The first entry before the end entry with exactly this long name, or null.
const opt_desc *find_option_long(const opt_desc *opts, const char *str);

/* handle_option
 * Handles one occurrence of opt with values taken from args (null-terminated).
 * Returns the number of entries of args consumed, or -1 after recording an
 * error. A malformed table entry ends the process through an assertion. */
int handle_option(const opt_desc *opt, char **args);

/* handle_int_option
 * Parses args[idx] for an OPT_TYPE_INTEGER option and stores it into element
 * idx of the option's target. Returns 0, or -1 after recording an error. */
int handle_int_option(const opt_desc *opt, int idx, char **args);

/* get_option_name
 * The option's display name, "--long" or else "-c", in a static 64-byte
 * buffer overwritten by the next call. */
const char *get_option_name(const opt_desc *opt);
