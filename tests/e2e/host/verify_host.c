/* verify_host_c KEYFILE PACKAGE: verifies PACKAGE with the installed C API twice, by path
 * (plugin_sign_keys_add_file, plugin_sign_verify_file) and from bytes held in memory, and
 * prints the one outcome both must agree on.
 * verify_host_c --directory KEYFILE DIR: verifies the plugin directory DIR.
 * verify_host_c --record RECORD KEYFILE PACKAGE: verifies PACKAGE by path through a policy
 * that keeps the version record RECORD, so that an older release than one verified before is
 * refused. */
#include <plugin_sign/verify.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char* read_all(const char* path, size_t* size) {
  FILE* file = fopen(path, "rb");
  if (file == NULL) return NULL;
  char* bytes = NULL;
  *size = 0;
  char chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
    char* grown = realloc(bytes, *size + got);
    if (grown == NULL) break;
    bytes = grown;
    for (size_t i = 0; i < got; ++i) bytes[*size + i] = chunk[i];
    *size += got;
  }
  fclose(file);
  return bytes;
}

/* Whether the two results tell the same: status, message and, when verified, the module. */
static int same_outcome(const plugin_sign_result* a, const plugin_sign_result* b) {
  if (plugin_sign_result_status(a) != plugin_sign_result_status(b)) return 0;
  if (strcmp(plugin_sign_result_message(a), plugin_sign_result_message(b)) != 0) return 0;
  size_t a_size = 0, b_size = 0;
  const void* a_wasm = plugin_sign_result_main_wasm(a, &a_size);
  const void* b_wasm = plugin_sign_result_main_wasm(b, &b_size);
  if (a_size != b_size || (a_wasm == NULL) != (b_wasm == NULL)) return 0;
  return a_wasm == NULL || memcmp(a_wasm, b_wasm, a_size) == 0;
}

/* The package by path and from memory, which must agree; NULL when either cannot be had. */
static plugin_sign_result* verify_both_ways(const plugin_sign_keys* keys, const char* key_file,
                                            const char* path) {
  plugin_sign_result* result = plugin_sign_verify_file(keys, path, NULL);
  size_t key_size = 0, package_size = 0;
  char* key_text = read_all(key_file, &key_size);
  char* package = read_all(path, &package_size);
  plugin_sign_keys* text_keys = plugin_sign_keys_new();
  plugin_sign_result* in_memory = NULL;
  if (key_text != NULL && package != NULL && text_keys != NULL &&
      plugin_sign_keys_add_file_text(text_keys, key_text, key_size) == PLUGIN_SIGN_OK)
    in_memory = plugin_sign_verify_package(text_keys, package, package_size, NULL);
  if (in_memory == NULL || !same_outcome(result, in_memory)) {
    fprintf(stderr, "by path: %s; in memory: %s\n", plugin_sign_result_message(result),
            in_memory == NULL ? "(not run)" : plugin_sign_result_message(in_memory));
    plugin_sign_result_free(result);
    result = NULL;
  }
  plugin_sign_result_free(in_memory);
  plugin_sign_keys_free(text_keys);
  free(package);
  free(key_text);
  return result;
}

/* PACKAGE by path with a policy of `keys` and the version record at `record`. */
static plugin_sign_result* verify_with_record(const plugin_sign_keys* keys, const char* record,
                                              const char* path) {
  plugin_sign_policy* policy = plugin_sign_policy_new();
  if (policy == NULL) return NULL;
  plugin_sign_result* result = NULL;
  if (plugin_sign_policy_set_keys(policy, keys) == PLUGIN_SIGN_OK &&
      plugin_sign_policy_set_record(policy, record) == PLUGIN_SIGN_OK)
    result = plugin_sign_verify_file_policy(policy, path);
  plugin_sign_policy_free(policy);
  return result;
}

int main(int argc, char** argv) {
  const int directory = argc == 4 && strcmp(argv[1], "--directory") == 0;
  const int with_record = argc == 5 && strcmp(argv[1], "--record") == 0;
  const char* record = with_record ? argv[2] : NULL;
  if (argc != 3 + directory + 2 * with_record) return 64;
  argv += directory + 2 * with_record;
  /* The library that runs is the one this host was built against. */
  if (strcmp(plugin_sign_version(), PLUGIN_SIGN_VERSION_STRING) != 0) {
    fprintf(stderr, "library %s, header %s\n", plugin_sign_version(), PLUGIN_SIGN_VERSION_STRING);
    return 66;
  }
  plugin_sign_keys* keys = plugin_sign_keys_new();
  if (keys == NULL) return 65;
  if (plugin_sign_keys_add_file(keys, argv[1]) != PLUGIN_SIGN_OK) {
    fprintf(stderr, "%s\n", plugin_sign_keys_error(keys));
    plugin_sign_keys_free(keys);
    return 64;
  }
  plugin_sign_result* result = directory     ? plugin_sign_verify_directory(keys, argv[2], NULL)
                               : with_record ? verify_with_record(keys, record, argv[2])
                                             : verify_both_ways(keys, argv[1], argv[2]);
  if (result == NULL) {
    plugin_sign_keys_free(keys);
    return 67;
  }

  plugin_sign_status status = plugin_sign_result_status(result);
  if (status == PLUGIN_SIGN_OK) {
    size_t wasm_size = 0;
    plugin_sign_result_main_wasm(result, &wasm_size);
    printf("verified %s %s, key %s, main.wasm %zu bytes\n", plugin_sign_result_name(result, NULL),
           plugin_sign_result_version(result, NULL), plugin_sign_result_key_id(result), wasm_size);
  } else {
    printf("failed (%d, %s): %s\n", (int)status, plugin_sign_status_string(status),
           plugin_sign_result_message(result));
  }
  plugin_sign_result_free(result);
  plugin_sign_keys_free(keys);
  /* Every _free takes NULL. */
  plugin_sign_result_free(NULL);
  plugin_sign_keys_free(NULL);
  return status == PLUGIN_SIGN_OK ? 0 : 1;
}
