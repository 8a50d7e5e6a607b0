/* The settings file of the VR driver, for programs in any language: a C interface to the
 * library's load, update, checker and watcher, for ctypes, P/Invoke, FFI and plain C.
 *
 *   #include <tarvik/tvc.h>
 *
 *   char* settings = NULL;
 *   char* message = NULL;
 *   int status = tvc_update("/home/me/.config/tarvik/config.json",
 *                           "{\"detection\": {\"sensitivity\": 0.5}}", &settings, &message);
 *   if (status != TVC_OK) {
 *       fprintf(stderr, "not saved: %s\n", message ? message : "out of memory");
 *   }
 *   tvc_free(settings);
 *   tvc_free(message);
 *
 * What a caller may rely on:
 * - The load, the update and the watcher are those the driver itself uses
 *   (<tarvik/config/ConfigFile.h>, <tarvik/config/ConfigWatcher.h>), with every guarantee they
 *   give: an update is one read-modify-write under the saves' lock that keeps the other
 *   processes' changes and every key it does not know; a save never leaves a half-written file.
 * - Every function returns a status: TVC_OK (0) or one of the TVC_E_ values below (tvc_watch_wait
 *   returns 1 or 0, or a negated status). Nothing else leaves the library: no C++ exception, no
 *   abort for bad input. When memory runs out the status is TVC_E_MEMORY and nothing is written
 *   (with one exception, in the JSON library: running out of memory while a parsed array or
 *   object of millions of members is freed ends the process).
 * - Every out-parameter (char** and tvc_watcher**) may be NULL when the caller does not want it.
 *   Each one that is not NULL is set on every return, to a text or to NULL: the results on
 *   success (tvc_load's also on TVC_E_UNREADABLE), the message on failure (NULL only when memory
 *   ran out). Every text the library hands out is NUL-terminated UTF-8, allocated
 *   by the library and must be given back with tvc_free(), never with the caller's free().
 * - Messages are English sentences that name what was wrong ("detection.fftSize: takes an
 *   integer from -2147483648 to 2147483647 (or null for its default); found a string \"4096\""),
 *   safe to print on a terminal (text taken from the input is escaped and cut short). Their
 *   wording may change; the statuses do not.
 * - Paths are UTF-8 (converted to UTF-16 on Windows) and should be absolute; the directory is
 *   created by the first save. Texts given to the library are UTF-8; invalid UTF-8 in a path or
 *   a patch is refused with TVC_E_ARGUMENT or TVC_E_PATCH and nothing is written.
 * - Threads: any thread may call any function at any time. A watcher is used by one thread at a
 *   time (tvc_watch_wait and tvc_watch_take from one thread, or under the caller's own lock);
 *   tvc_watch_close must not race with another call on the same watcher.
 * - The library's log lines are the driver's (a load's INFO line, a corrupt file's WARN, a failed
 *   save's ERROR), written to standard error by the library's own copy of the console logger;
 *   statuses and messages never depend on them.
 *
 * The JSON texts:
 * - settings: an object with every key of the document, as the driver would use them (defaults
 *   where the file has no usable value): {"audio": {...}, "detection": {"sensitivity": 0.7,
 *   ...}, ..., "version": 1}. Float settings are written in their shortest form (0.7).
 * - findings (tvc_check): an array of {"line", "column" (1-based, 0 when not known),
 *   "severity" ("error": the driver cannot use the document; "warning": it skips or ignores
 *   this part, or takes a path or name with control characters in it; "note": it takes a
 *   value that no setting can mean), "kind" ("syntax", "not-an-object", "skipped-value",
 *   "unknown-key", "section-not-object", "repeated-key", "control-in-text", "implausible"),
 *   "key" (dotted, "" for the whole document),
 *   "message", "hint" ("" when there is none)}, in the order of the text, at most 100.
 * - news (tvc_watch_take): {"outcome": "read" | "missing" | "unusable" | "unreadable",
 *   "settings": {...}, "changed": ["detection.sensitivity", ...], "problem": "" (why, for
 *   unusable and unreadable), "initial": true for the state as the watch began, "polling": true
 *   when the OS gives no change notifications, "sequence": 1, 2, ...}.
 */
#ifndef TARVIK_TVC_H
#define TARVIK_TVC_H

#include <stddef.h>

#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(TVC_BUILDING_LIBRARY)
#define TVC_API __declspec(dllexport)
#else
#define TVC_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define TVC_API __attribute__((visibility("default")))
#else
#define TVC_API
#endif

#define TVC_VERSION_MAJOR 0
#define TVC_VERSION_MINOR 3
#define TVC_VERSION_PATCH 0

#ifdef __cplusplus
extern "C" {
#endif

/* Statuses. */
enum {
    TVC_OK = 0,
    TVC_E_ARGUMENT = 1,   /* NULL where a value is needed, invalid UTF-8 in a path, an empty
                             path, a negative timeout */
    TVC_E_PATCH = 2,      /* the patch is not JSON, not an object, too large (1 MiB) or nested
                             too deeply (a setting is two levels down) */
    TVC_E_KEY = 3,        /* the patch names a key or section the document does not have */
    TVC_E_VALUE = 4,      /* the patch gives a value the driver would skip: wrong type, out of
                             range, a section that is not an object */
    TVC_E_UNREADABLE = 5, /* the file exists but cannot be used: locked, unreadable (a
                             directory, no access), or not a usable document; nothing written */
    TVC_E_BUSY = 6,       /* another save held the file for longer than the lock's wait (2 s) */
    TVC_E_SAVE = 7,     /* the save failed (lock, directory, temporary file, swap); the message has
                           the OS's words; the previous document is in place */
    TVC_E_MEMORY = 8,   /* out of memory; any message may be NULL */
    TVC_E_NO_NEWS = 9,  /* tvc_watch_take: no news waiting */
    TVC_E_INTERNAL = 10 /* anything else (no thread could be started for a watcher) */
};

/* The library's version, "0.3.0": a static text, never freed. */
TVC_API const char* tvc_version(void);

/* Frees a text the library handed out. NULL is allowed. */
TVC_API void tvc_free(char* text);

/* The settings the driver would use: the file's usable values over the defaults. Read under the
 * saves' lock (so never half of another program's update), and nothing is written or moved: a
 * file that is not a usable document (a person halfway through an edit) is left as it is, where
 * the driver's own load at start-up would move it aside. `outcome` receives "read", "missing"
 * (no file: the defaults), "unusable", "locked", "unreadable" (a directory, no access) or
 * "busy" (another program held the lock for more than 2 s). Returns TVC_OK for read and
 * missing; otherwise TVC_E_UNREADABLE (TVC_E_BUSY, TVC_E_ARGUMENT for a bare file name) with
 * the defaults in `settings_json`: they are not the file's, never write them over it. */
TVC_API int tvc_load(const char* path, char** settings_json, char** outcome, char** message);

/* Applies an RFC 7386 merge patch ({"detection": {"sensitivity": 0.5}}; null puts a key back to
 * its default, a section's null all of its keys) in one locked read-modify-write that keeps
 * every key it does not know and every value the patch does not name. The patch is judged
 * whole before anything is read: an unknown key, a wrong type or a value out of range refuses
 * it all (TVC_E_KEY, TVC_E_VALUE), the message names the key and why, and nothing is written.
 * A file that is not a usable document (a person halfway through an edit) is left as it is
 * (TVC_E_UNREADABLE). `settings_json` receives the settings as written. An empty patch {}
 * writes nothing and gives the settings as a load finds them. */
TVC_API int tvc_update(const char* path, const char* patch_json, char** settings_json,
                       char** message);

/* What tarvik-config check says about a document's text (`length` bytes, any content; `text`
 * may be NULL when `length` is 0): a JSON array of findings, empty for a document the driver
 * takes whole. Returns TVC_OK whatever the text holds. */
TVC_API int tvc_check(const char* text, size_t length, char** findings_json);

/* A watcher of one settings file: a thread of the library's that reads each new state of the
 * file that another process or a person makes (never this process's own updates). */
typedef struct tvc_watcher tvc_watcher;

/* Starts watching `path`; the first news is the file's state as the watch began. */
TVC_API int tvc_watch_open(const char* path, tvc_watcher** watcher, char** message);

/* Waits up to `timeout_ms` (0: does not wait) for news. 1: news waiting, 0: none;
 * -TVC_E_ARGUMENT for a NULL watcher or a negative timeout. */
TVC_API int tvc_watch_wait(tvc_watcher* watcher, int timeout_ms);

/* Takes the news waiting (each news is taken once; untaken news merges with the next).
 * TVC_E_NO_NEWS when there is none. */
TVC_API int tvc_watch_take(tvc_watcher* watcher, char** news_json);

/* Stops the watcher, joins its thread and frees it. NULL is allowed. On Windows, never from
 * DllMain or from a static destructor of a DLL (the loader lock would deadlock the join). */
TVC_API void tvc_watch_close(tvc_watcher* watcher);

#ifdef __cplusplus
}
#endif

#endif /* TARVIK_TVC_H */
