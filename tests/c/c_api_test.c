/*
 * The C interface as a C99 program sees it: compiled with -std=c99 -pedantic
 * against the installed header and library.
 *
 * Usage: c_api_test SCRATCH_DIR
 * SCRATCH_DIR is a writable directory for the policy files the tests write.
 * Prints every failed check and a closing "N passed, M failed" line; exits
 * non-zero when any check failed.
 */
#include <ordel/ordel.h>

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#define PATH_CAP 4096
#define MAX_FIELDS 4
#define LEAK_LOOP_ITERATIONS 10000

static int passed;
static int failed;

static void check_int(const char *context, const char *what, long got, long want) {
  if (got == want) {
    ++passed;
    return;
  }
  ++failed;
  printf("FAIL %s: %s is %ld, want %ld\n", context, what, got, want);
}

static void check_str(const char *context, const char *what, const char *got,
                      const char *want) {
  if (got != NULL && strcmp(got, want) == 0) {
    ++passed;
    return;
  }
  ++failed;
  printf("FAIL %s: %s is \"%s\", want \"%s\"\n", context, what, got ? got : "(NULL)", want);
}

/* Checks the result code and both texts of the last operation on `engine`. */
static void check_outcome(const char *context, const ordel_engine *engine, long got, long want,
                          const char *want_error, const char *want_denied) {
  check_int(context, "result", got, want);
  check_str(context, "ordel_errmsg", ordel_errmsg(engine), want_error);
  check_str(context, "ordel_denied_reason", ordel_denied_reason(engine), want_denied);
}

static int write_file(const char *path, const char *bytes, size_t size) {
  FILE *file = fopen(path, "wb");
  int ok;
  if (file == NULL) {
    printf("cannot write %s\n", path);
    return 0;
  }
  ok = fwrite(bytes, 1, size, file) == size;
  ok = (fclose(file) == 0) && ok;
  return ok;
}

static void join_path(char *out, const char *dir, const char *name) {
  snprintf(out, PATH_CAP, "%s/%s", dir, name);
}

static const char kPolicy[] =
    "module files {\n"
    "  intent ReadFile {\n"
    "    takes: path: String;\n"
    "    effect: READ;\n"
    "    pre: length(path) > 0;\n"
    "  }\n"
    "}\n";

static const char kPasswdDenied[] =
    "Path '/etc/passwd' (normalized: '/etc/passwd') denied by predicate 'path_safety'";
static const char kNoFields[] =
    "Pre-condition evaluation error: Unknown field 'path' in pre-condition";
static const char kKeyNotUtf8[] = "field key is not valid UTF-8";
static const char kValueNotUtf8[] = "field value is not valid UTF-8";
static const char kIntentNotUtf8[] = "intent name is not valid UTF-8";

/* ---- Versions, NULL arguments ------------------------------------------- */

static void test_null_arguments(void) {
  const char *keys[] = {"path"};
  const char *values[] = {"/tmp/a"};
  ordel_engine *engine;

  check_str("version", "ordel_version()", ordel_version(), "0.1.0");
  check_int("open NULL path", "handle is NULL", ordel_engine_open(NULL) == NULL, 1);
  check_int("open_source NULL", "handle is NULL", ordel_engine_open_source(NULL) == NULL, 1);
  check_str("NULL handle", "ordel_errmsg", ordel_errmsg(NULL), "");
  check_str("NULL handle", "ordel_denied_reason", ordel_denied_reason(NULL), "");
  check_int("verify NULL handle", "result", ordel_verify(NULL, "ReadFile", keys, values, 1), -1);
  ordel_engine_close(NULL);

  /* A NULL intent name leaves the texts of the previous call in place. */
  engine = ordel_engine_open_source(kPolicy);
  values[0] = "/etc/passwd";
  check_int("NULL intent: setup", "result", ordel_verify(engine, "ReadFile", keys, values, 1), 0);
  check_outcome("NULL intent after denial", engine,
                ordel_verify(engine, NULL, keys, values, 1), -1, "", kPasswdDenied);
  check_int("NULL intent: setup", "result", ordel_verify(engine, "Nope", keys, values, 1), -1);
  check_outcome("NULL intent after error", engine, ordel_verify(engine, NULL, NULL, NULL, 0),
                -1, "[UndefinedFunction] Error: Intent 'Nope' not found in policy", "");
  ordel_engine_close(engine);
}

/* ---- Opening -------------------------------------------------------------- */

struct open_case {
  const char *name;
  /* Exactly one of source and file_name is set; file_name is written into
     the scratch directory with file_bytes (file_size bytes) unless
     file_bytes is NULL. */
  const char *source;
  const char *file_name;
  const char *file_bytes;
  size_t file_size;
  /* The expected error text; "%s" stands for the file's full path. Empty
     when the open succeeds. */
  const char *want_error;
};

static const char kNulPolicy[] = "module m {\0}\n";
static const char kBadUtf8Policy[] = "module m { \xff }\n";

static const struct open_case kOpenCases[] = {
    {"source ok", kPolicy, NULL, NULL, 0, ""},
    {"source with a syntax error", "module m {\n  intent {\n}\n", NULL, NULL, 0,
     "[ExpectedToken] Error at line 2:10: Expected identifier, found '{'"},
    {"source with a lexical error", "module m { $ }", NULL, NULL, 0,
     "[UnexpectedChar] Error at line 1:13: Unexpected character: '$'"},
    {"source not UTF-8", "module m { \xc0\xaf }", NULL, NULL, 0, "source is not valid UTF-8"},
    {"file ok", NULL, "files.odl", kPolicy, sizeof kPolicy - 1, ""},
    {"file with a non-ASCII name", NULL, "r\xc3\xa8gles.odl", kPolicy, sizeof kPolicy - 1, ""},
    {"missing file", NULL, "missing.odl", NULL, 0,
     "[HaltUnknown] Error: Failed to read policy file %s: No such file or directory (os error 2)"},
    {"file holding a NUL byte", NULL, "nul.odl", kNulPolicy, sizeof kNulPolicy - 1,
     "[UnexpectedChar] Error at line 1:12: Unexpected character: '\\0'"},
    {"file not UTF-8", NULL, "latin1.odl", kBadUtf8Policy, sizeof kBadUtf8Policy - 1,
     "[HaltUnknown] Error: Failed to read policy file %s: stream did not contain valid UTF-8"},
    {"path with byte 0xFF", NULL, "bad\xff.odl", NULL, 0, "path is not valid UTF-8"},
};

static void test_open(const char *scratch) {
  size_t i;
  for (i = 0; i < sizeof kOpenCases / sizeof kOpenCases[0]; ++i) {
    const struct open_case *c = &kOpenCases[i];
    char path[PATH_CAP];
    char want_error[2 * PATH_CAP];
    const char *keys[] = {"path"};
    const char *values[] = {"/etc/passwd"};
    ordel_engine *engine;
    int loaded = c->want_error[0] == '\0';

    if (c->source != NULL) {
      engine = ordel_engine_open_source(c->source);
      snprintf(want_error, sizeof want_error, "%s", c->want_error);
    } else {
      join_path(path, scratch, c->file_name);
      if (c->file_bytes != NULL && !write_file(path, c->file_bytes, c->file_size)) {
        ++failed;
        continue;
      }
      engine = ordel_engine_open(path);
      if (strstr(c->want_error, "%s") != NULL) {
        snprintf(want_error, sizeof want_error, c->want_error, path);
      } else {
        snprintf(want_error, sizeof want_error, "%s", c->want_error);
      }
    }
    check_int(c->name, "handle is not NULL", engine != NULL, 1);
    if (engine == NULL) {
      continue;
    }
    check_str(c->name, "ordel_errmsg", ordel_errmsg(engine), want_error);
    check_int(c->name, "strlen(ordel_errmsg)", (long)strlen(ordel_errmsg(engine)),
              (long)strlen(want_error));
    check_str(c->name, "ordel_denied_reason", ordel_denied_reason(engine), "");

    /* A loaded handle verifies; a failed one reports it was never opened,
       replacing the open's text. */
    if (loaded) {
      check_outcome(c->name, engine, ordel_verify(engine, "ReadFile", keys, values, 1), 0, "",
                    kPasswdDenied);
    } else {
      check_outcome(c->name, engine, ordel_verify(engine, "ReadFile", keys, values, 1), -1,
                    "engine not initialized (open failed)", "");
      check_outcome(c->name, engine, ordel_verify(engine, "\xff", keys, values, 1), -1,
                    "engine not initialized (open failed)", "");
    }
    ordel_engine_close(engine);
  }
}

/* ---- Verifying ------------------------------------------------------------ */

struct verify_case {
  const char *name;
  const char *intent;
  const char *keys[MAX_FIELDS];
  const char *values[MAX_FIELDS];
  int32_t count;
  int null_keys;
  int null_values;
  int want;
  /* The texts after the call; want_denied only when want is 0, want_error
     only when want is -1. */
  const char *want_text;
};

static const struct verify_case kVerifyCases[] = {
    {"allowed", "ReadFile", {"path"}, {"/tmp/data.txt"}, 1, 0, 0, 1, ""},
    {"denied by the conscience", "ReadFile", {"path"}, {"/etc/passwd"}, 1, 0, 0, 0,
     kPasswdDenied},
    {"denied by a pre-condition", "ReadFile", {"path"}, {""}, 1, 0, 0, 0,
     "Pre-condition failed for intent 'ReadFile'"},
    {"unknown intent", "X", {"path"}, {"/tmp/a"}, 1, 0, 0, -1,
     "[UndefinedFunction] Error: Intent 'X' not found in policy"},
    {"count 0", "ReadFile", {"path"}, {"/tmp/a"}, 0, 0, 0, 0, kNoFields},
    {"count -1", "ReadFile", {"path"}, {"/tmp/a"}, -1, 0, 0, 0, kNoFields},
    {"count INT32_MIN", "ReadFile", {"path"}, {"/tmp/a"}, INT32_MIN, 0, 0, 0, kNoFields},
    {"keys NULL", "ReadFile", {"path"}, {"/tmp/a"}, 1, 1, 0, 0, kNoFields},
    {"values NULL", "ReadFile", {"path"}, {"/tmp/a"}, 1, 0, 1, 0, kNoFields},
    {"keys and values NULL, huge count", "ReadFile", {NULL}, {NULL}, INT32_MAX, 1, 1, 0,
     kNoFields},
    {"values[1] NULL stops before pair 3", "ReadFile", {"path", "mode", "path"},
     {"/tmp/a", NULL, "/etc/passwd"}, 3, 0, 0, 1, ""},
    {"keys[0] NULL passes no pair", "ReadFile", {NULL, "path"}, {"/tmp/a", "/tmp/a"}, 2, 0, 0,
     0, kNoFields},
    {"count 1000000, keys[1] NULL", "ReadFile", {"path", NULL}, {"/tmp/a", NULL}, 1000000, 0,
     0, 1, ""},
    {"count 1000000, values[1] NULL", "ReadFile", {"path", "mode"}, {"/tmp/a", NULL}, 1000000,
     0, 0, 1, ""},
    {"a later duplicate key wins", "ReadFile", {"path", "path"}, {"/etc/passwd", "/tmp/a"}, 2,
     0, 0, 1, ""},
    {"a later duplicate key wins, denied", "ReadFile", {"path", "path"},
     {"/tmp/a", "/etc/passwd"}, 2, 0, 0, 0, kPasswdDenied},
    {"bad key at position 2 of a denied request", "ReadFile", {"path", "a", "\xff"},
     {"/etc/passwd", "b", "c"}, 3, 0, 0, -1, kKeyNotUtf8},
    {"bad value at position 2", "ReadFile", {"path", "a", "b"}, {"/etc/passwd", "b", "\xff"}, 3,
     0, 0, -1, kValueNotUtf8},
    {"bad key before its NULL value", "ReadFile", {"path", "\xff"}, {"/tmp/a", NULL}, 2, 0, 0,
     -1, kKeyNotUtf8},
    {"bad texts after a NULL key are not read", "ReadFile", {"path", NULL, "\xff"},
     {"/tmp/a", "\xff", "\xff"}, 3, 0, 0, 1, ""},
    {"bad texts beyond count are not read", "ReadFile", {"path", "\xff"}, {"/tmp/a", "\xff"}, 1,
     0, 0, 1, ""},
    {"bad intent name before a bad key", "\xff", {"\xff"}, {"/tmp/a"}, 1, 0, 0, -1,
     kIntentNotUtf8},
    {"bad key before the intent lookup", "X", {"\xff"}, {"/tmp/a"}, 1, 0, 0, -1, kKeyNotUtf8},
};

/* The texts a case's result leaves: want_error, want_denied. */
static void case_texts(const struct verify_case *c, const char **error, const char **denied) {
  *error = c->want == -1 ? c->want_text : "";
  *denied = c->want == 0 ? c->want_text : "";
}

static void test_verify(void) {
  /* Each case runs after a denial and after an error, so both texts it
     leaves are seen replacing earlier ones. */
  static const char *const kPrimeKeys[] = {"path"};
  static const char *const kPrimeValues[] = {"/etc/passwd"};
  static const char *const kPrimeIntents[] = {"ReadFile", "Unknown"};
  ordel_engine *engine = ordel_engine_open_source(kPolicy);
  size_t i;
  size_t prime;

  check_str("verify: open", "ordel_errmsg", ordel_errmsg(engine), "");
  for (i = 0; i < sizeof kVerifyCases / sizeof kVerifyCases[0]; ++i) {
    const struct verify_case *c = &kVerifyCases[i];
    const char *const *keys = c->null_keys ? NULL : c->keys;
    const char *const *values = c->null_values ? NULL : c->values;
    const char *want_error;
    const char *want_denied;
    case_texts(c, &want_error, &want_denied);
    for (prime = 0; prime < 2; ++prime) {
      char context[256];
      int primed = ordel_verify(engine, kPrimeIntents[prime], kPrimeKeys, kPrimeValues, 1);
      snprintf(context, sizeof context, "%s (after %s)", c->name,
               prime == 0 ? "a denial" : "an error");
      check_int(context, "priming result", primed, prime == 0 ? 0 : -1);
      check_outcome(context, engine, ordel_verify(engine, c->intent, keys, values, c->count),
                    c->want, want_error, want_denied);
    }
  }
  ordel_engine_close(engine);
}

/* ---- Invalid UTF-8 at every position ------------------------------------- */

static const char *const kBadUtf8[] = {
    "\xff",             /* never valid */
    "\xc0\xaf",         /* overlong '/' */
    "\xe0\x80\xaf",     /* overlong, three bytes */
    "\xed\xa0\x80",     /* surrogate U+D800 */
    "\xf4\x90\x80\x80", /* above U+10FFFF */
    "ok\xe2\x82",       /* truncated sequence at the end */
    "\x80",             /* lone continuation byte */
};

static void test_bad_utf8(void) {
  ordel_engine *engine = ordel_engine_open_source(kPolicy);
  size_t i;
  for (i = 0; i < sizeof kBadUtf8 / sizeof kBadUtf8[0]; ++i) {
    const char *bad = kBadUtf8[i];
    const char *good_keys[] = {"path", "mode"};
    const char *good_values[] = {"/etc/passwd", "r"};
    const char *bad_keys[] = {"path", bad};
    const char *bad_values[] = {"/etc/passwd", bad};
    char context[64];
    ordel_engine *failed_open;

    snprintf(context, sizeof context, "bad UTF-8 #%u", (unsigned)i);

    failed_open = ordel_engine_open(bad);
    check_outcome(context, failed_open, 0, 0, "path is not valid UTF-8", "");
    ordel_engine_close(failed_open);
    failed_open = ordel_engine_open_source(bad);
    check_outcome(context, failed_open, 0, 0, "source is not valid UTF-8", "");
    ordel_engine_close(failed_open);

    check_outcome(context, engine, ordel_verify(engine, bad, good_keys, good_values, 1), -1,
                  kIntentNotUtf8, "");
    check_outcome(context, engine, ordel_verify(engine, "ReadFile", bad_keys, good_values, 2),
                  -1, kKeyNotUtf8, "");
    check_outcome(context, engine, ordel_verify(engine, "ReadFile", good_keys, bad_values, 2),
                  -1, kValueNotUtf8, "");
  }
  ordel_engine_close(engine);
}

/* ---- Open, verify, close in a loop ---------------------------------------- */

/* Run under a leak checker: every handle, engine and text is released. */
static void test_leak_loop(void) {
  const char *keys[] = {"path"};
  const char *denied_values[] = {"/etc/passwd"};
  const char *allowed_values[] = {"/tmp/a"};
  long wrong = 0;
  int i;
  for (i = 0; i < LEAK_LOOP_ITERATIONS; ++i) {
    ordel_engine *engine = ordel_engine_open_source(kPolicy);
    ordel_engine *broken = ordel_engine_open_source("module m {");
    wrong += ordel_verify(engine, "ReadFile", keys, denied_values, 1) != 0;
    wrong += ordel_verify(engine, "Unknown", keys, denied_values, 1) != -1;
    wrong += ordel_verify(engine, "ReadFile", keys, allowed_values, 1) != 1;
    wrong += ordel_verify(broken, "ReadFile", keys, allowed_values, 1) != -1;
    ordel_engine_close(engine);
    ordel_engine_close(broken);
  }
  check_int("open/verify/close loop", "wrong results", wrong, 0);
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s SCRATCH_DIR\n", argv[0]);
    return 2;
  }
  test_null_arguments();
  test_open(argv[1]);
  test_verify();
  test_bad_utf8();
  test_leak_loop();
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
