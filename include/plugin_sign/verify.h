/* verify.h — plugin package verification for C and for any language that calls C.
 *
 * The same checks as plugin_sign/verify.hpp: a package is accepted only in exactly the layout
 * plugin_sign writes, signed by a trusted key allowed for the package's name. A result holds
 * the very bytes that were checked; load those, never the file again. No function prints,
 * keeps global state or lets an exception out, and every function may be called from several
 * threads at once on different objects (a key set may be shared once it is filled: reading it
 * from several threads is safe, adding to it while another thread uses it is not).
 *
 * Ownership: the caller owns what _new and the plugin_sign_verify_ functions return and frees
 * it with the matching _free; every _free accepts NULL and does nothing then. Every other
 * pointer returned is owned by the object it came from and is valid until that object is
 * freed (plugin_sign_keys_error: until the next change to the key set), except the texts of
 * plugin_sign_status_string and plugin_sign_version, which are static and never freed.
 *
 * This header needs only C99. The shared library, libplugin_sign_verify.so.1, must be found at
 * run time: CMake hosts get an rpath from the imported target PluginSign::verify; pkg-config
 * hosts outside the loader's path link with
 *   -Wl,-rpath,$(pkg-config --variable=libdir plugin_sign_verify)
 * (or install the library where the loader looks). */
#ifndef PLUGIN_SIGN_VERIFY_H
#define PLUGIN_SIGN_VERIFY_H

#include <stddef.h>
#include <stdint.h>

/* The version of this header; plugin_sign_version() gives the library's. A host may check
 * that the library it runs with is at least the one it was built against. */
#define PLUGIN_SIGN_VERSION_MAJOR 1
#define PLUGIN_SIGN_VERSION_MINOR 0
#define PLUGIN_SIGN_VERSION_PATCH 0
#define PLUGIN_SIGN_VERSION_STRING "1.0.0"

#ifdef __cplusplus
extern "C" {
#endif

/* The outcome of a call; the values are stable. */
typedef enum plugin_sign_status {
  PLUGIN_SIGN_OK = 0,
  PLUGIN_SIGN_BAD_SIGNATURE = 1,    /* well formed, but no trusted key verifies it */
  PLUGIN_SIGN_NAME_NOT_ALLOWED = 2, /* a trusted key verifies it, none allowed for its name */
  PLUGIN_SIGN_MALFORMED = 3,        /* not exactly the layout plugin_sign writes */
  PLUGIN_SIGN_TOO_LARGE = 4,        /* a size beyond the limits */
  PLUGIN_SIGN_UNREADABLE = 5,       /* a package, key or plugin directory file could not be read */
  PLUGIN_SIGN_OUT_OF_MEMORY = 6,
  PLUGIN_SIGN_INVALID_KEY = 7,      /* a trusted key's or a revocation file's text was refused */
  PLUGIN_SIGN_INVALID_ARGUMENT = 8, /* a required pointer was NULL */
  PLUGIN_SIGN_REVOKED = 9,          /* a key that verifies it, or the package, is revoked */
  PLUGIN_SIGN_NAME_MISMATCH = 10,   /* verified, but not the package name that was expected */
  PLUGIN_SIGN_ROLLBACK = 11         /* verified, but older than (or another release of) a
                                       version the record holds */
} plugin_sign_status;

/* Limits on the sizes a package's entries declare; 0 in a field means its default
 * (plugin.toml 1 MiB, main.wasm 4 GiB). */
typedef struct plugin_sign_limits {
  uint64_t plugin_toml;
  uint64_t main_wasm;
} plugin_sign_limits;

/* A set of trusted public keys. */
typedef struct plugin_sign_keys plugin_sign_keys;

/* The outcome of one verification: a verified package or the reason it is not one. */
typedef struct plugin_sign_result plugin_sign_result;

/* A new, empty key set; NULL when out of memory.
 *
 * Fail closed: once an addition to a key set or a revocation set has failed (any status but
 * PLUGIN_SIGN_OK, for a set that is not NULL), every verification that uses the set fails
 * with that addition's status and the message "key set unusable: an addition to it failed:
 * REASON" (or "revocation set ..."), whatever was added before or after; a host that ignores
 * an addition's status never verifies with fewer revocations or other keys than it meant to.
 * Make a new set to start again. */
plugin_sign_keys* plugin_sign_keys_new(void);

/* Adds every key of a key file's text (`length` bytes): one Base64 key a line, optionally
 * followed by " names=" and comma-separated name patterns, "#" comments and blank lines, or a
 * PEM "PUBLIC KEY" block. On failure nothing is added and plugin_sign_keys_error tells why. */
plugin_sign_status plugin_sign_keys_add_file_text(plugin_sign_keys* keys, const char* text,
                                                  size_t length);

/* Adds one key from its 44 Base64 characters (NUL-terminated), trusted for every name. Here and
 * in key files, a key that no key pair can have (a point of small or mixed order, or not
 * canonically encoded) is refused (PLUGIN_SIGN_INVALID_KEY). */
plugin_sign_status plugin_sign_keys_add_base64(plugin_sign_keys* keys, const char* base64);

/* Adds every key of the key file at `path`, read whole (at most 1 MiB) and taken as
 * plugin_sign_keys_add_file_text takes it. A file that someone other than the user or root
 * could change is refused (PLUGIN_SIGN_UNREADABLE): it and every directory above it must be
 * owned by the user or root and writable neither by others nor by a group other than the
 * user's private group, a sticky directory excepted (plugin_sign/trust_files.hpp has the
 * exact rule). A file that cannot be
 * read gives PLUGIN_SIGN_UNREADABLE, one that is refused for its text PLUGIN_SIGN_INVALID_KEY;
 * either way nothing is added and plugin_sign_keys_error tells why. */
plugin_sign_status plugin_sign_keys_add_file(plugin_sign_keys* keys, const char* path);

/* The message of the last failed addition to `keys`, "" when there was none. */
const char* plugin_sign_keys_error(const plugin_sign_keys* keys);

/* The number of keys in the set. */
size_t plugin_sign_keys_count(const plugin_sign_keys* keys);

void plugin_sign_keys_free(plugin_sign_keys* keys);

/* Verifies the package ZIP in `data` (`size` bytes) against `keys`. `limits` may be NULL.
 * Returns NULL only when no memory is left even for the result. */
plugin_sign_result* plugin_sign_verify_package(const plugin_sign_keys* keys, const void* data,
                                               size_t size, const plugin_sign_limits* limits);

/* Reads the package file at `path` (NUL-terminated) and verifies it as
 * plugin_sign_verify_package does. A file larger than plugin_sign_max_package_size(limits) is
 * refused (PLUGIN_SIGN_TOO_LARGE) before it is read; one that cannot be read gives
 * PLUGIN_SIGN_UNREADABLE. `limits` may be NULL. */
plugin_sign_result* plugin_sign_verify_file(const plugin_sign_keys* keys, const char* path,
                                            const plugin_sign_limits* limits);

/* Verifies a plugin directory as plugin_sign leaves it: plugin.toml, main.wasm and
 * signature.sig, each a regular file, read once. `limits` may be NULL. */
plugin_sign_result* plugin_sign_verify_directory(const plugin_sign_keys* keys, const char* dir,
                                                 const plugin_sign_limits* limits);

/* PLUGIN_SIGN_OK for a verified package; PLUGIN_SIGN_OUT_OF_MEMORY for a NULL result. */
plugin_sign_status plugin_sign_result_status(const plugin_sign_result* result);

/* Why the package was not verified, naming the failed check; "" for a verified one. */
const char* plugin_sign_result_message(const plugin_sign_result* result);

/* What the signature established. These getters answer for a verified package, and for a
 * package refused after its signature verified (PLUGIN_SIGN_REVOKED, PLUGIN_SIGN_NAME_NOT_ALLOWED,
 * PLUGIN_SIGN_NAME_MISMATCH, and PLUGIN_SIGN_MALFORMED, PLUGIN_SIGN_TOO_LARGE or
 * PLUGIN_SIGN_OUT_OF_MEMORY met after the signature: a malformed plugin.toml, a main.wasm that
 * could not be had), so that a host can log which key signed a package it refused. They
 * return NULL for a failure before the signature verified (and for a NULL result). */

/* The package name and version from plugin.toml, NUL-terminated, with their length in bytes
 * in `*length` when `length` is not NULL (a TOML string may hold NUL; `*length` is 0 with
 * NULL). NULL also when plugin.toml gave no name and version that passed the checks on their
 * text (empty, control characters) or could not be parsed. */
const char* plugin_sign_result_name(const plugin_sign_result* result, size_t* length);
const char* plugin_sign_result_version(const plugin_sign_result* result, size_t* length);

/* The key ID of the key that verified the signature (16 hexadecimal digits) and its 32 bytes:
 * the revoked one when a key is revoked, the one allowed for the name once one is, otherwise
 * the first trusted key that verified it; the SHA-256 digests of plugin.toml and main.wasm (64
 * lowercase hexadecimal digits). */
const char* plugin_sign_result_key_id(const plugin_sign_result* result);
const uint8_t* plugin_sign_result_public_key(const plugin_sign_result* result);
const char* plugin_sign_result_plugin_toml_sha256(const plugin_sign_result* result);
const char* plugin_sign_result_main_wasm_sha256(const plugin_sign_result* result);

/* The SHA-256 of the signed manifest (64 lowercase hexadecimal digits): the package's
 * identity, equal for every ZIP encoding of the same signed contents; name, cache, blocklist
 * or revoke a package by it, never by its file's hash. */
const char* plugin_sign_result_manifest_sha256(const plugin_sign_result* result);

/* For a verified package, the verified bytes of plugin.toml and main.wasm, with their size in
 * `*size`; valid until the result is freed. NULL and a size of 0 otherwise. */
const void* plugin_sign_result_plugin_toml(const plugin_sign_result* result, size_t* size);
const void* plugin_sign_result_main_wasm(const plugin_sign_result* result, size_t* size);

void plugin_sign_result_free(plugin_sign_result* result);

/* A set of revoked keys and packages, refused although a trusted key verifies them. */
typedef struct plugin_sign_revocations plugin_sign_revocations;

/* A new, empty revocation set; NULL when out of memory. */
plugin_sign_revocations* plugin_sign_revocations_new(void);

/* Adds every entry of a revocation file's text (`length` bytes): "key PUBLICKEY SIGNATURE"
 * statements as `plugin_key revoke` prints them, "key-id KEYID" and "package MANIFEST_SHA256"
 * lines in lowercase hexadecimal, "#" comments and blank lines. A statement whose signature
 * does not verify refuses the whole text. On failure nothing is added, the status is
 * PLUGIN_SIGN_INVALID_KEY and plugin_sign_revocations_error tells why, naming the line. */
plugin_sign_status plugin_sign_revocations_add_file_text(plugin_sign_revocations* revocations,
                                                         const char* text, size_t length);

/* Adds every entry of the revocation file at `path`, read whole (at most 4 MiB) and taken as
 * plugin_sign_revocations_add_file_text takes it. A file that someone other than the user or
 * root could change is refused (PLUGIN_SIGN_UNREADABLE), by the rule of
 * plugin_sign_keys_add_file: anyone who could would take a revocation out of it.
 * A file that cannot be read gives PLUGIN_SIGN_UNREADABLE, a larger one PLUGIN_SIGN_TOO_LARGE,
 * one refused for its text PLUGIN_SIGN_INVALID_KEY; nothing is added then, and
 * plugin_sign_revocations_error tells why. */
plugin_sign_status plugin_sign_revocations_add_file(plugin_sign_revocations* revocations,
                                                    const char* path);

/* The message of the last failed addition to `revocations`, "" when there was none. */
const char* plugin_sign_revocations_error(const plugin_sign_revocations* revocations);

void plugin_sign_revocations_free(plugin_sign_revocations* revocations);

/* plugin_sign_verify_package with two more checks: `revocations` (NULL: none) refuses a package
 * whose verifying key or manifest SHA-256 it holds (PLUGIN_SIGN_REVOKED), and
 * `expected_name` (NULL with a length of 0: any name) of `expected_name_length` bytes, which
 * may hold NUL, refuses a package whose name is not exactly that (PLUGIN_SIGN_NAME_MISMATCH). The
 * signature is checked first, then the revocations, then plugin.toml, the key's names, the expected
 * name. In a result's message, a NUL byte of a name shows as \x00. */
plugin_sign_result* plugin_sign_verify_package_with(const plugin_sign_keys* keys,
                                                    const plugin_sign_revocations* revocations,
                                                    const char* expected_name,
                                                    size_t expected_name_length, const void* data,
                                                    size_t size, const plugin_sign_limits* limits);

/* plugin_sign_verify_file with the checks of plugin_sign_verify_package_with. */
plugin_sign_result* plugin_sign_verify_file_with(const plugin_sign_keys* keys,
                                                 const plugin_sign_revocations* revocations,
                                                 const char* expected_name,
                                                 size_t expected_name_length, const char* path,
                                                 const plugin_sign_limits* limits);

/* plugin_sign_verify_directory with the checks of plugin_sign_verify_package_with. */
plugin_sign_result* plugin_sign_verify_directory_with(const plugin_sign_keys* keys,
                                                      const plugin_sign_revocations* revocations,
                                                      const char* expected_name,
                                                      size_t expected_name_length, const char* dir,
                                                      const plugin_sign_limits* limits);

/* What a host asks of a package, in one object, so that a new check is one new setter rather
 * than another _with variant: the trusted keys, revocations, the expected name, the limits and
 * the version record. The setters may be called in any order and again (a later call replaces
 * the earlier value); a policy may be used by several threads at once once it is set up, not
 * while it is changed. */
typedef struct plugin_sign_policy plugin_sign_policy;

/* A new policy without keys, revocations, expected name or record, with the default limits;
 * NULL when out of memory. */
plugin_sign_policy* plugin_sign_policy_new(void);

void plugin_sign_policy_free(plugin_sign_policy* policy);

/* The trusted keys; not copied: `keys` must stay alive, unchanged, while the policy verifies.
 * A policy without keys verifies nothing (PLUGIN_SIGN_INVALID_ARGUMENT). */
plugin_sign_status plugin_sign_policy_set_keys(plugin_sign_policy* policy,
                                               const plugin_sign_keys* keys);

/* The revocations (NULL: none), checked as plugin_sign_verify_package_with checks them, with
 * their "below NAME VERSION" floors; not copied, like the keys. */
plugin_sign_status plugin_sign_policy_set_revocations(plugin_sign_policy* policy,
                                                      const plugin_sign_revocations* revocations);

/* The package name expected, `length` bytes that may hold NUL, copied; NULL with a length of
 * 0 for any name. */
plugin_sign_status plugin_sign_policy_set_expected_name(plugin_sign_policy* policy,
                                                        const char* name, size_t length);

/* The limits, copied; NULL for the defaults. */
plugin_sign_status plugin_sign_policy_set_limits(plugin_sign_policy* policy,
                                                 const plugin_sign_limits* limits);

/* The path of the version record (NUL-terminated, copied); NULL for none. With a record, a
 * package older than the highest version recorded for its name from a key that is not revoked,
 * or the same version with another manifest, is refused (PLUGIN_SIGN_ROLLBACK), and a package
 * that verifies is recorded: the file is created when missing (its directory must exist),
 * locked, and replaced as a whole. A record that cannot be read, locked, parsed or written
 * refuses the package (PLUGIN_SIGN_UNREADABLE) and is left as it was. */
plugin_sign_status plugin_sign_policy_set_record(plugin_sign_policy* policy, const char* path);

/* plugin_sign_verify_package, _file and _directory with every check of `policy`: the
 * signature, the revocations, plugin.toml, the key's names, the expected name, the version
 * floors, then the record. */
plugin_sign_result* plugin_sign_verify_package_policy(const plugin_sign_policy* policy,
                                                      const void* data, size_t size);
plugin_sign_result* plugin_sign_verify_file_policy(const plugin_sign_policy* policy,
                                                   const char* path);
plugin_sign_result* plugin_sign_verify_directory_policy(const plugin_sign_policy* policy,
                                                        const char* dir);

/* The largest package file that can hold entries within `limits` (NULL for the defaults): a
 * larger file can be refused before it is read. */
uint64_t plugin_sign_max_package_size(const plugin_sign_limits* limits);

/* A short English text for `status`, e.g. "the package is malformed", for logs and people;
 * decide on the status itself, never on the text. Static: never freed, valid for ever. A value
 * this library does not know gives "unknown status". */
const char* plugin_sign_status_string(plugin_sign_status status);

/* The version of the library that runs, e.g. "1.0.0". Static: never freed. */
const char* plugin_sign_version(void);

#ifdef __cplusplus
}
#endif

#endif /* PLUGIN_SIGN_VERIFY_H */
