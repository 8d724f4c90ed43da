/* client_launch.dll: the client's side of the updater's contract, for clients
 * in any language. Stages files where the updater looks for them, builds the
 * command line the updater reads exactly as meant, and starts the updater.
 *
 * Strings are UTF-16 (wchar_t on Windows). Every function returns a code:
 * KL_OK, a refusal or failure below. A string out is written to the caller's
 * buffer of `size` code units, terminator included; when that is too small,
 * nothing is written, the function returns KL_BUFFER_TOO_SMALL and `*needed`
 * (when `needed` is not null) holds the size to pass. On x86 the functions are
 * __stdcall, exported under their plain names. */
#ifndef CLIENT_LAUNCH_H
#define CLIENT_LAUNCH_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define KL_CALL __stdcall
#else
#define KL_CALL
#endif

#ifdef _WIN32
typedef wchar_t kl_char;
#else
typedef uint16_t kl_char; /* host builds of the library's tests */
#endif

typedef int32_t kl_code;

#define KL_OK 0
/* A name or the list refused; the values of the C++ LaunchCode. */
#define KL_REFUSED_EMPTY_LIST 1
#define KL_REFUSED_EMPTY_NAME 2
#define KL_REFUSED_DUPLICATE_NAME 3
#define KL_REFUSED_BAR 4
#define KL_REFUSED_LEAVES_FOLDER 5
#define KL_REFUSED_CLEAN_CACHE_OPTION 6
#define KL_REFUSED_MISPLACED_SEPARATOR 7
#define KL_REFUSED_FORBIDDEN_CHARACTER 8
#define KL_REFUSED_BLANK_OR_DOT 9
#define KL_REFUSED_DEVICE_NAME 10
#define KL_REFUSED_SHORT_NAME 11
#define KL_REFUSED_PATH_TOO_LONG 12
#define KL_REFUSED_FOLDER_TOO_LONG 13
#define KL_REFUSED_MISSING_FOLDER 14
#define KL_REFUSED_NAME_IS_FOLDER 15
#define KL_REFUSED_UPDATER_ITSELF 16
#define KL_REFUSED_LINE_TOO_LONG 17
#define KL_REFUSED_UPDATER_PATH 18
#define KL_FAILED_NO_CLIENT_ROOT 19
#define KL_FAILED_SOURCE_MISSING 20
#define KL_FAILED_COPY 21
#define KL_FAILED_RENAME 22
/* Releases: checking, fetching, applying. Nothing is staged after these. */
#define KL_UP_TO_DATE 23 /* not an error: nothing to fetch */
#define KL_REFUSED_SIGNATURE 24
#define KL_REFUSED_PRODUCT 25
#define KL_REFUSED_ROLLBACK 26
#define KL_REFUSED_EXPIRED 27
#define KL_REFUSED_MALFORMED 28
#define KL_REFUSED_MANIFEST_TOO_LARGE 29
#define KL_REFUSED_PUBLIC_KEY 30
#define KL_REFUSED_VERSION_TEXT 31
#define KL_FAILED_READ_SOURCE 32
#define KL_REFUSED_FILE_SIZE 33
#define KL_REFUSED_FILE_HASH 34
#define KL_FAILED_STAGE_WRITE 35
#define KL_STOPPED 36
#define KL_FAILED_CRYPTO 37
/* Releases over the web. */
#define KL_FAILED_HTTP_STATUS 38
#define KL_FAILED_CONNECT 39
#define KL_FAILED_TIMEOUT 40
#define KL_FAILED_TLS 41
#define KL_REFUSED_ADDRESS 42
#define KL_REFUSED_REDIRECT 43
#define KL_FAILED_SLOW 44
#define KL_FAILED_BUSY 45 /* another staging, fetch or apply works in the staging folder */
#define KL_REFUSED_WINDOW 46 /* a compressed file asks its decoder for more than 128 MiB */
#define KL_REFUSED_REPLAY 47 /* an older manifest than one this install already saw */
/* The C interface's own. */
#define KL_NULL_ARGUMENT 100    /* a pointer that must be given is null */
#define KL_BUFFER_TOO_SMALL 101 /* nothing written; see `needed` */
#define KL_START_FAILED 102     /* the user declined elevation, or the start failed */
#define KL_UNKNOWN_CODE 103     /* KlCodeText: no such code */
#define KL_NO_SUCH_FILE 104     /* KlReleaseChangedFile: the index is past the last */

/* `*refused_name` when the refusal is about the list or the updater path. */
#define KL_NO_NAME 0xFFFFFFFFu

/* Copies `source` to the staging folder as `name` (for example
 * L"lang\\en.pak"); on failure nothing stands under the name.
 * KL_FAILED_BUSY while a fetch or apply works in the staging folder. */
kl_code KL_CALL KlStageFile(const kl_char* source, const kl_char* name);

/* "\"UPDATER\" --files " and the `count` names joined by "|". On a refusal,
 * `*refused_name` (when not null) is the index of the first name refused, or
 * KL_NO_NAME. */
kl_code KL_CALL KlBuildUpdateLine(const kl_char* updater, const kl_char* const* names,
                                  uint32_t count, kl_char* line, uint32_t size, uint32_t* needed,
                                  uint32_t* refused_name);

/* "\"UPDATER\" --cleanCache". */
kl_code KL_CALL KlBuildCleanCacheLine(const kl_char* updater, kl_char* line, uint32_t size,
                                      uint32_t* needed);

/* Starts the updater with a line built above, its folder as working
 * directory. The user is asked for consent to elevate. */
kl_code KL_CALL KlStartUpdater(const kl_char* line);

/* Signed releases: check, fetch, apply.
 *
 * A release found by KlCheckRelease is an opaque handle: read it with the
 * accessors, pass it to KlFetchRelease and KlApplyRelease, end it with
 * KlFreeRelease. Calls may run at once on different threads (a check while a
 * fetch runs). A fetch or apply while another one works in the staging folder
 * (from this process or another instance) returns KL_FAILED_BUSY at once. */
typedef struct kl_release kl_release;

/* Bytes done and in all, as a fetch goes, and four times a second while a
 * server keeps it waiting; return 0 to stop it, else 1. */
typedef int32_t(KL_CALL* kl_progress)(uint64_t done, uint64_t total, void* context);

/* Checks the release in the folder `source` (local, mounted or \\server\share,
 * or the http:// or https:// address of one) for `channel` (null: "stable"):
 * signed by `public_key` (the text keygen printed; several, apart by blanks,
 * line breaks or commas, during a key rotation: any one of them suffices),
 * for `product`, newer than `installed_version` (empty: the release that a
 * keyed updater recorded in `install_folder`; KL_REFUSED_VERSION_TEXT when
 * none is), unexpired, every name one the updater takes. KL_OK and
 * `*release` set when some files differ from those in `install_folder` (where
 * the client and updater.exe stand); KL_UP_TO_DATE when none do; else the
 * refusal, `*release` null and `*refused_file` (when not null) the index in
 * the manifest of the file it is about, or KL_NO_NAME. */
kl_code KL_CALL KlCheckRelease(const kl_char* source, const kl_char* channel,
                               const kl_char* public_key, const kl_char* product,
                               const kl_char* install_folder, const kl_char* installed_version,
                               kl_release** release, uint32_t* refused_file);

/* KlCheckRelease, saying over the web that it is `user_agent` (null:
 * "KelvoClient-launch/1"), as in "KelvoClient/1.0". The release keeps it for
 * the fetch. */
kl_code KL_CALL KlCheckReleaseAs(const kl_char* source, const kl_char* channel,
                                 const kl_char* public_key, const kl_char* product,
                                 const kl_char* install_folder, const kl_char* installed_version,
                                 const kl_char* user_agent, kl_release** release,
                                 uint32_t* refused_file);

/* KlCheckReleaseAs with `flags`: 0, or KL_CHECK_EARLY when the user asked for
 * a release still rolling out ("check now", a beta tester). Unlike the
 * calls above, it sets `*release` on KL_UP_TO_DATE too, for KlReleaseRollout
 * to say why: the handle is then for the release the folder serves. */
#define KL_CHECK_EARLY 1u
kl_code KL_CALL KlCheckReleaseWith(const kl_char* source, const kl_char* channel,
                                   const kl_char* public_key, const kl_char* product,
                                   const kl_char* install_folder,
                                   const kl_char* installed_version, const kl_char* user_agent,
                                   uint32_t flags, kl_release** release, uint32_t* refused_file);

/* Where the release's rollout stands for this install. `*state`:
 * KL_ROLLOUT_OPEN, offered to this install (or installed already);
 * KL_ROLLOUT_WAITING, not yet: `*turn` is when it will be, in seconds since
 * 1970 UTC; KL_ROLLOUT_HALTED, halted by the vendor: offered to no install
 * that lacks it, `*turn` 0. Each install draws its place in a rollout once,
 * kept in the client root. Either pointer may be null. */
#define KL_ROLLOUT_OPEN 0
#define KL_ROLLOUT_WAITING 1
#define KL_ROLLOUT_HALTED 2
kl_code KL_CALL KlReleaseRollout(const kl_release* release, int32_t* state, int64_t* turn);

/* The release's version, as "2.0.1". */
kl_code KL_CALL KlReleaseVersion(const kl_release* release, kl_char* text, uint32_t size,
                                 uint32_t* needed);

/* How many files differ, the bytes a fetch of them takes (compressed, or
 * deltas from the installed files where the release has them), and the
 * bytes of the whole release as fetched; any pointer may be null. */
kl_code KL_CALL KlReleaseSizes(const kl_release* release, uint32_t* changed_files,
                               uint64_t* changed_bytes, uint64_t* total_bytes);

/* The same files' own sizes, as installed: the changed ones and all of them;
 * any pointer may be null. */
kl_code KL_CALL KlReleaseFileSizes(const kl_release* release, uint64_t* changed_bytes,
                                   uint64_t* total_bytes);

/* The name (as staged: "lang/de.pak") and size of changed file `index`. */
kl_code KL_CALL KlReleaseChangedFile(const kl_release* release, uint32_t index, kl_char* name,
                                     uint32_t size, uint32_t* needed, uint64_t* file_size);

/* Copies the changed files into the staging folder, each staged only when its
 * size and SHA-256 are the manifest's; files already staged so are kept, so
 * a fetch resumes. Synchronous: call it on a worker thread. On a failure,
 * `*failed_file` is the changed file's index; what was verified stays.
 * KL_FAILED_BUSY while a staging, another fetch or an apply works in the
 * staging folder. */
kl_code KL_CALL KlFetchRelease(const kl_release* release, kl_progress progress, void* context,
                               uint32_t* failed_file);

/* Checks the staged files once more and starts the updater for them;
 * KL_START_FAILED when the user declines elevation or the start fails. */
kl_code KL_CALL KlApplyRelease(const kl_release* release, uint32_t* refused_file);

/* Ends the handle; null is allowed. */
kl_code KL_CALL KlFreeRelease(kl_release* release);

/* What a code means, in English, for the client developer's log. */
kl_code KL_CALL KlCodeText(kl_code code, kl_char* text, uint32_t size, uint32_t* needed);

#ifdef __cplusplus
}
#endif

#endif /* CLIENT_LAUNCH_H */
