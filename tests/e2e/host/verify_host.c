/* verify_host_c KEYFILE PACKAGE: verifies PACKAGE in memory with the installed C API.
 * verify_host_c --directory KEYFILE DIR: verifies the plugin directory DIR. */
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

int main(int argc, char** argv) {
  const int directory = argc == 4 && strcmp(argv[1], "--directory") == 0;
  if (argc != 3 + directory) return 64;
  argv += directory;
  size_t key_size = 0, package_size = 0;
  char* key_text = read_all(argv[1], &key_size);
  char* package = directory ? NULL : read_all(argv[2], &package_size);
  plugin_sign_keys* keys = plugin_sign_keys_new();
  if (key_text == NULL || (package == NULL && !directory) || keys == NULL) return 65;
  if (plugin_sign_keys_add_file_text(keys, key_text, key_size) != PLUGIN_SIGN_OK) {
    fprintf(stderr, "%s\n", plugin_sign_keys_error(keys));
    return 64;
  }
  plugin_sign_result* result = directory
                                   ? plugin_sign_verify_directory(keys, argv[2], NULL)
                                   : plugin_sign_verify_package(keys, package, package_size, NULL);
  int status = plugin_sign_result_status(result);
  if (status == PLUGIN_SIGN_OK) {
    size_t wasm_size = 0;
    plugin_sign_result_main_wasm(result, &wasm_size);
    printf("verified %s %s, key %s, main.wasm %zu bytes\n", plugin_sign_result_name(result, NULL),
           plugin_sign_result_version(result, NULL), plugin_sign_result_key_id(result), wasm_size);
  } else {
    printf("failed (%d): %s\n", status, plugin_sign_result_message(result));
  }
  plugin_sign_result_free(result);
  plugin_sign_keys_free(keys);
  free(package);
  free(key_text);
  return status == PLUGIN_SIGN_OK ? 0 : 1;
}
