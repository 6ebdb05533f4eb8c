/*
 * ordel.h: the C interface of the Ordel policy engine.
 *
 * Open a policy once, verify any number of requests against it, close it.
 * Every function works on the calling thread and returns; nothing here
 * starts threads or keeps global mutable state. Distinct handles are
 * independent; one handle must not be used by two threads at once, because
 * ordel_verify rewrites the handle's texts.
 *
 * Texts passed in are NUL-terminated UTF-8; they are only read during the
 * call and never kept. Texts returned are owned by a handle or are static:
 * never free them. A NUL inside a stored message is shown as the two
 * characters backslash and zero, so a returned text never ends early.
 *
 * Valid C99 and C++.
 */
#ifndef ORDEL_ORDEL_H
#define ORDEL_ORDEL_H

#include <stdint.h>

#if defined(__GNUC__) || defined(__clang__)
#define ORDEL_API __attribute__((visibility("default")))
#else
#define ORDEL_API
#endif

/* No function lets an exception escape; C++ callers may rely on that. */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define ORDEL_NOEXCEPT noexcept
#elif defined(__cplusplus)
#define ORDEL_NOEXCEPT throw()
#else
#define ORDEL_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An opened policy plus the texts of its last operation. Opaque. */
typedef struct ordel_engine ordel_engine;

/*
 * Opens the policy file at `path`. Returns NULL only when `path` is NULL;
 * otherwise a new handle the caller owns until ordel_engine_close. The open
 * succeeded when ordel_errmsg on the new handle is the empty text; a failed
 * open keeps its error text and every ordel_verify on it returns -1.
 */
ORDEL_API ordel_engine *ordel_engine_open(const char *path) ORDEL_NOEXCEPT;

/*
 * Opens a policy from its source text, otherwise as ordel_engine_open. The
 * source is copied as needed; it may be freed as soon as the call returns.
 */
ORDEL_API ordel_engine *ordel_engine_open_source(const char *source) ORDEL_NOEXCEPT;

/*
 * Verifies the request `intent` with `count` fields: keys[i] and values[i]
 * for i below count. Collection stops at the first NULL key or NULL value
 * (the pair with a NULL value is dropped); count <= 0 or a NULL array means
 * no fields. The arrays and their texts are only read during the call.
 *
 * Returns 1 when allowed, 0 when denied (the reason in ordel_denied_reason),
 * -1 on error (the message in ordel_errmsg). With a NULL `engine` or
 * `intent` it returns -1 and touches nothing. Texts returned earlier by
 * ordel_errmsg and ordel_denied_reason for this handle become invalid.
 */
ORDEL_API int32_t ordel_verify(ordel_engine *engine, const char *intent,
                               const char *const *keys, const char *const *values,
                               int32_t count) ORDEL_NOEXCEPT;

/*
 * The reason of the last denial on `engine`, or the empty text. Owned by the
 * handle and valid until the next ordel_verify or ordel_engine_close on it.
 * For NULL, a static empty text. Never returns NULL.
 */
ORDEL_API const char *ordel_denied_reason(const ordel_engine *engine) ORDEL_NOEXCEPT;

/*
 * The message of the last error on `engine` (a failed open or an ordel_verify
 * that returned -1), or the empty text. Ownership and lifetime as for
 * ordel_denied_reason. For NULL, a static empty text. Never returns NULL.
 */
ORDEL_API const char *ordel_errmsg(const ordel_engine *engine) ORDEL_NOEXCEPT;

/* The version of this interface, "0.1.0". Static; valid for the process. */
ORDEL_API const char *ordel_version(void) ORDEL_NOEXCEPT;

/*
 * Releases the handle, its policy and its texts. NULL is ignored. The handle
 * and every text it returned are invalid afterwards.
 */
ORDEL_API void ordel_engine_close(ordel_engine *engine) ORDEL_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* ORDEL_ORDEL_H */
