// The Node-API binding of the verification library's C API (plugin_sign/verify.h).
//
// Node-API's stable ABI (version 8: every Node from 18 on) through its C interface, which every
// Node ships in its headers, so that building needs nothing beyond Node and this library. (Not
// through the node-addon-api C++ wrapper: Debian's package of it needs Debian's nodejs, and
// beside a Node from elsewhere it would have to come from the npm registry.)
// Verification runs on libuv's thread pool and settles a promise; the verified bytes are copied
// into ArrayBuffers that JavaScript owns before the library's result is freed.
#include <node_api.h>
#include <plugin_sign/verify.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

using KeysHandle = std::shared_ptr<plugin_sign_keys>;
using RevocationsHandle = std::shared_ptr<plugin_sign_revocations>;

// Distinguishes a Keys object from a Revocations object, or from any object carrying another
// addon's wrapped pointer, before the pointer is taken.
constexpr napi_type_tag kKeysTag = {0x7c3f1a9e52d04b61ULL, 0x9a8e6f4d2c1b0a93ULL};
constexpr napi_type_tag kRevocationsTag = {0x1e5d8c7b6a594837ULL, 0x26150f4e3d2c1b0aULL};

// Per Node environment (the main thread and each worker): the two classes, and the set being
// handed to a constructor, so that only fromFile and fromText make instances.
struct Module {
  napi_ref keys_class = nullptr;
  napi_ref revocations_class = nullptr;
  KeysHandle pending_keys;
  RevocationsHandle pending_revocations;
};

// A failed Node-API call has left an exception pending, or is reported as one here: the
// callback then returns nullptr and JavaScript sees the exception.
#define CHECK(call)                                    \
  do {                                                 \
    if ((call) != napi_ok) return ThrowLastError(env); \
  } while (0)

napi_value ThrowLastError(napi_env env) {
  bool pending = false;
  napi_is_exception_pending(env, &pending);
  if (!pending) {
    const napi_extended_error_info* info = nullptr;
    napi_get_last_error_info(env, &info);
    const char* message = info != nullptr && info->error_message != nullptr
                              ? info->error_message
                              : "Node-API call failed";
    napi_throw_error(env, nullptr, message);
  }
  return nullptr;
}

// The error code of a status: its name in the header without the prefix. A status this build
// does not know (a newer library) still gets a stable code.
std::string StatusCode(plugin_sign_status status) {
  switch (status) {
    case PLUGIN_SIGN_OK:
      return "OK";
    case PLUGIN_SIGN_BAD_SIGNATURE:
      return "BAD_SIGNATURE";
    case PLUGIN_SIGN_NAME_NOT_ALLOWED:
      return "NAME_NOT_ALLOWED";
    case PLUGIN_SIGN_MALFORMED:
      return "MALFORMED";
    case PLUGIN_SIGN_TOO_LARGE:
      return "TOO_LARGE";
    case PLUGIN_SIGN_UNREADABLE:
      return "UNREADABLE";
    case PLUGIN_SIGN_OUT_OF_MEMORY:
      return "OUT_OF_MEMORY";
    case PLUGIN_SIGN_INVALID_KEY:
      return "INVALID_KEY";
    case PLUGIN_SIGN_INVALID_ARGUMENT:
      return "INVALID_ARGUMENT";
    case PLUGIN_SIGN_REVOKED:
      return "REVOKED";
    case PLUGIN_SIGN_NAME_MISMATCH:
      return "NAME_MISMATCH";
    case PLUGIN_SIGN_ROLLBACK:
      return "ROLLBACK";
  }
  return "STATUS_" + std::to_string(static_cast<int>(status));
}

napi_value Utf8(napi_env env, const char* text, size_t length) {
  napi_value value = nullptr;
  if (napi_create_string_utf8(env, text, length, &value) != napi_ok) return nullptr;
  return value;
}

napi_value Utf8(napi_env env, const char* text) {
  return Utf8(env, text, NAPI_AUTO_LENGTH);
}

// An Error with `code` set to the status's word and the library's reason as its message.
napi_value StatusError(napi_env env, plugin_sign_status status, const char* message) {
  const std::string code = StatusCode(status);
  napi_value error = nullptr;
  napi_create_error(env, Utf8(env, code.c_str()), Utf8(env, message), &error);
  return error;
}

// Refuses what JavaScript passed: a TypeError whose code is INVALID_ARGUMENT, as the library
// names a missing argument.
napi_value ThrowArgument(napi_env env, const std::string& message) {
  napi_throw_type_error(env, "INVALID_ARGUMENT", message.c_str());
  return nullptr;
}

bool IsUndefined(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  napi_typeof(env, value, &type);
  return type == napi_undefined;
}

// A JavaScript string as UTF-8, NUL bytes included; false with an exception pending when it is
// not a string.
bool ReadString(napi_env env, napi_value value, const char* what, std::string* out) {
  napi_valuetype type = napi_undefined;
  napi_typeof(env, value, &type);
  if (type != napi_string) {
    ThrowArgument(env, std::string(what) + " must be a string");
    return false;
  }
  size_t length = 0;
  if (napi_get_value_string_utf8(env, value, nullptr, 0, &length) != napi_ok) return false;
  out->assign(length, '\0');
  return napi_get_value_string_utf8(env, value, out->data(), length + 1, &length) == napi_ok;
}

// A file name for the C API, which ends it at the first NUL: one holding a NUL would name
// another file than the caller's, so it is refused.
bool ReadPath(napi_env env, napi_value value, const char* what, std::string* out) {
  if (!ReadString(env, value, what, out)) return false;
  if (out->find('\0') != std::string::npos) {
    ThrowArgument(env, std::string(what) + " must not contain NUL characters");
    return false;
  }
  return true;
}

Module* GetModule(napi_env env) {
  void* data = nullptr;
  napi_get_instance_data(env, &data);
  return static_cast<Module*>(data);
}

template <typename T>
void DeleteHandle(napi_env, void* data, void*) {
  delete static_cast<T*>(data);
}

// The set a wrapped object holds, or null (with an exception pending) when `value` is not an
// instance of the class that `tag` marks.
template <typename Handle>
const Handle* Unwrap(napi_env env, napi_value value, const napi_type_tag& tag, const char* what) {
  napi_valuetype type = napi_undefined;
  napi_typeof(env, value, &type);
  bool tagged = false;
  if (type == napi_object) napi_check_object_type_tag(env, value, &tag, &tagged);
  void* data = nullptr;
  if (!tagged || napi_unwrap(env, value, &data) != napi_ok) {
    ThrowArgument(env, std::string(what));
    return nullptr;
  }
  return static_cast<const Handle*>(data);
}

// --- Keys and Revocations ---------------------------------------------------------------------

// Their constructors only wrap the set that fromFile or fromText left in the module: called
// from JavaScript (`new Keys()`) there is none, and they refuse.
template <typename Handle, Handle Module::*pending>
napi_value Construct(napi_env env, napi_callback_info info, const napi_type_tag& tag,
                     const char* name) {
  napi_value self = nullptr;
  CHECK(napi_get_cb_info(env, info, nullptr, nullptr, &self, nullptr));
  Module* module = GetModule(env);
  Handle handle = std::move(module->*pending);
  if (!handle) {
    return ThrowArgument(env, std::string("use ") + name + ".fromFile or " + name + ".fromText");
  }
  auto* owned = new Handle(std::move(handle));
  if (napi_wrap(env, self, owned, DeleteHandle<Handle>, nullptr, nullptr) != napi_ok) {
    delete owned;
    return ThrowLastError(env);
  }
  CHECK(napi_type_tag_object(env, self, &tag));
  return self;
}

napi_value ConstructKeys(napi_env env, napi_callback_info info) {
  return Construct<KeysHandle, &Module::pending_keys>(env, info, kKeysTag, "Keys");
}

napi_value ConstructRevocations(napi_env env, napi_callback_info info) {
  return Construct<RevocationsHandle, &Module::pending_revocations>(env, info, kRevocationsTag,
                                                                    "Revocations");
}

template <typename Handle, Handle Module::*pending>
napi_value Instantiate(napi_env env, napi_ref constructor, Handle handle) {
  napi_value cls = nullptr;
  CHECK(napi_get_reference_value(env, constructor, &cls));
  GetModule(env)->*pending = std::move(handle);
  napi_value instance = nullptr;
  const napi_status status = napi_new_instance(env, cls, 0, nullptr, &instance);
  (GetModule(env)->*pending).reset();
  if (status != napi_ok) return ThrowLastError(env);
  return instance;
}

// The one argument of a fromFile or fromText call, as the C function takes it.
bool ReadSource(napi_env env, napi_callback_info info, bool is_path, std::string* out) {
  size_t argc = 1;
  napi_value argv[1] = {nullptr};
  if (napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr) != napi_ok) return false;
  if (is_path) return ReadPath(env, argv[0], "path", out);
  return ReadString(env, argv[0], "text", out);
}

template <bool is_path>
napi_value KeysFrom(napi_env env, napi_callback_info info) {
  std::string source;
  if (!ReadSource(env, info, is_path, &source)) return nullptr;
  KeysHandle keys(plugin_sign_keys_new(), plugin_sign_keys_free);
  if (!keys) {
    napi_throw(env, StatusError(env, PLUGIN_SIGN_OUT_OF_MEMORY, "no memory for a key set"));
    return nullptr;
  }
  const plugin_sign_status status =
      is_path ? plugin_sign_keys_add_file(keys.get(), source.c_str())
              : plugin_sign_keys_add_file_text(keys.get(), source.data(), source.size());
  if (status != PLUGIN_SIGN_OK) {
    napi_throw(env, StatusError(env, status, plugin_sign_keys_error(keys.get())));
    return nullptr;
  }
  return Instantiate<KeysHandle, &Module::pending_keys>(env, GetModule(env)->keys_class,
                                                        std::move(keys));
}

template <bool is_path>
napi_value RevocationsFrom(napi_env env, napi_callback_info info) {
  std::string source;
  if (!ReadSource(env, info, is_path, &source)) return nullptr;
  RevocationsHandle revocations(plugin_sign_revocations_new(), plugin_sign_revocations_free);
  if (!revocations) {
    napi_throw(env, StatusError(env, PLUGIN_SIGN_OUT_OF_MEMORY, "no memory for a revocation set"));
    return nullptr;
  }
  const plugin_sign_status status =
      is_path
          ? plugin_sign_revocations_add_file(revocations.get(), source.c_str())
          : plugin_sign_revocations_add_file_text(revocations.get(), source.data(), source.size());
  if (status != PLUGIN_SIGN_OK) {
    napi_throw(env, StatusError(env, status, plugin_sign_revocations_error(revocations.get())));
    return nullptr;
  }
  return Instantiate<RevocationsHandle, &Module::pending_revocations>(
      env, GetModule(env)->revocations_class, std::move(revocations));
}

napi_value KeysCount(napi_env env, napi_callback_info info) {
  napi_value self = nullptr;
  CHECK(napi_get_cb_info(env, info, nullptr, nullptr, &self, nullptr));
  const KeysHandle* keys = Unwrap<KeysHandle>(env, self, kKeysTag, "not a Keys object");
  if (keys == nullptr) return nullptr;
  napi_value count = nullptr;
  CHECK(napi_create_double(env, static_cast<double>(plugin_sign_keys_count(keys->get())), &count));
  return count;
}

// --- Options ----------------------------------------------------------------------------------

// What the options of verify and verifyBytes ask for. The sets are held by reference count, so
// that they outlive the JavaScript objects if those are collected while the work runs.
struct VerifyOptions {
  KeysHandle keys;
  RevocationsHandle revocations;  // none when empty
  bool has_name = false;
  std::string name;
  bool has_limits = false;
  plugin_sign_limits limits = {0, 0};
  bool has_record = false;
  std::string record;  // the version record's path
};

bool ReadLimit(napi_env env, napi_value value, const char* what, uint64_t* out) {
  napi_valuetype type = napi_undefined;
  napi_typeof(env, value, &type);
  if (type == napi_bigint) {
    bool lossless = false;
    int64_t signed_value = 0;
    napi_get_value_bigint_int64(env, value, &signed_value, &lossless);
    if (lossless && signed_value < 0) {
      ThrowArgument(env, std::string("limits.") + what + " must not be negative");
      return false;
    }
    napi_get_value_bigint_uint64(env, value, out, &lossless);
    if (!lossless) {
      ThrowArgument(env, std::string("limits.") + what + " must fit in 64 bits");
      return false;
    }
    return true;
  }
  double number = 0;
  const bool integer =
      type == napi_number && napi_get_value_double(env, value, &number) == napi_ok && number >= 0 &&
      number <= 9007199254740991.0 && number == static_cast<double>(static_cast<uint64_t>(number));
  if (!integer) {
    ThrowArgument(env, std::string("limits.") + what +
                           " must be a non-negative integer (a number or a bigint)");
    return false;
  }
  *out = static_cast<uint64_t>(number);
  return true;
}

// The names of an object's own enumerable properties, each handed to `read`, which refuses a
// name it does not know: a misspelt option must not silently leave a check out.
template <typename Read>
bool ForEachProperty(napi_env env, napi_value object, const char* what, Read read) {
  napi_valuetype type = napi_undefined;
  napi_typeof(env, object, &type);
  if (type != napi_object) {
    ThrowArgument(env, std::string(what) + " must be an object");
    return false;
  }
  napi_value names = nullptr;
  uint32_t count = 0;
  if (napi_get_all_property_names(
          env, object, napi_key_own_only,
          static_cast<napi_key_filter>(napi_key_enumerable | napi_key_skip_symbols),
          napi_key_numbers_to_strings, &names) != napi_ok ||
      napi_get_array_length(env, names, &count) != napi_ok) {
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    napi_value key = nullptr;
    napi_value value = nullptr;
    std::string name;
    if (napi_get_element(env, names, i, &key) != napi_ok ||
        !ReadString(env, key, "an option name", &name) ||
        napi_get_property(env, object, key, &value) != napi_ok) {
      return false;
    }
    if (IsUndefined(env, value)) continue;  // as if absent, as JavaScript's own APIs take it
    if (!read(name, value)) return false;
  }
  return true;
}

constexpr const char* kKnownOptions = " (known: keys, name, revocations, limits, record)";

// Every option of verify and verifyBytes is read here. (A new option is one more name here and
// one more field of VerifyOptions, which Verify hands to the library.)
bool ReadOptions(napi_env env, napi_value object, VerifyOptions* options) {
  const bool read =
      ForEachProperty(env, object, "options", [&](const std::string& name, napi_value value) {
        if (name == "keys") {
          const KeysHandle* keys = Unwrap<KeysHandle>(
              env, value, kKeysTag,
              "options.keys must be a Keys object (Keys.fromFile or Keys.fromText)");
          if (keys == nullptr) return false;
          options->keys = *keys;
          return true;
        }
        if (name == "revocations") {
          const RevocationsHandle* revocations = Unwrap<RevocationsHandle>(
              env, value, kRevocationsTag,
              "options.revocations must be a Revocations object (Revocations.fromFile or "
              "Revocations.fromText)");
          if (revocations == nullptr) return false;
          options->revocations = *revocations;
          return true;
        }
        if (name == "name") {
          if (!ReadString(env, value, "options.name", &options->name)) return false;
          // An empty name would mean "any name" to the C API: a host that meant to name a
          // plugin and passed "" would check none.
          if (options->name.empty()) {
            ThrowArgument(env, "options.name must not be empty");
            return false;
          }
          options->has_name = true;
          return true;
        }
        if (name == "limits") {
          options->has_limits = true;
          return ForEachProperty(
              env, value, "options.limits", [&](const std::string& limit, napi_value size) {
                if (limit == "pluginToml")
                  return ReadLimit(env, size, "pluginToml", &options->limits.plugin_toml);
                if (limit == "mainWasm")
                  return ReadLimit(env, size, "mainWasm", &options->limits.main_wasm);
                ThrowArgument(env,
                              "unknown option limits." + limit + " (known: pluginToml, mainWasm)");
                return false;
              });
        }
        if (name == "record") {
          if (!ReadPath(env, value, "options.record", &options->record)) return false;
          options->has_record = true;
          return true;
        }
        ThrowArgument(env, "unknown option " + name + kKnownOptions);
        return false;
      });
  if (!read) return false;
  if (!options->keys) {
    ThrowArgument(env, "options.keys is required (Keys.fromFile or Keys.fromText)");
    return false;
  }
  return true;
}

// --- Verification -----------------------------------------------------------------------------

// One verify or verifyBytes call: what the work thread reads, and what it leaves for the
// completion on the JavaScript thread.
struct Request {
  VerifyOptions options;
  bool from_file = false;
  std::string path;       // verify: the package file
  void* bytes = nullptr;  // verifyBytes: a copy of the caller's bytes, which it may change
  size_t size = 0;
  plugin_sign_result* result = nullptr;
  napi_deferred deferred = nullptr;
  napi_async_work work = nullptr;

  ~Request() {
    plugin_sign_result_free(result);
    std::free(bytes);
  }
};

// The policy of one call, from its options; NULL when no memory is left.
plugin_sign_policy* NewPolicy(const VerifyOptions& options) {
  plugin_sign_policy* policy = plugin_sign_policy_new();
  if (policy == nullptr) return nullptr;
  bool set = plugin_sign_policy_set_keys(policy, options.keys.get()) == PLUGIN_SIGN_OK;
  if (set && options.revocations)
    set = plugin_sign_policy_set_revocations(policy, options.revocations.get()) == PLUGIN_SIGN_OK;
  if (set && options.has_name)
    set = plugin_sign_policy_set_expected_name(policy, options.name.data(), options.name.size()) ==
          PLUGIN_SIGN_OK;
  if (set && options.has_limits)
    set = plugin_sign_policy_set_limits(policy, &options.limits) == PLUGIN_SIGN_OK;
  if (set && options.has_record)
    set = plugin_sign_policy_set_record(policy, options.record.c_str()) == PLUGIN_SIGN_OK;
  if (set) return policy;
  plugin_sign_policy_free(policy);
  return nullptr;
}

// Runs on the thread pool: the library only, no JavaScript. A NULL result is out of memory.
void Verify(napi_env, void* data) {
  auto* request = static_cast<Request*>(data);
  plugin_sign_policy* policy = NewPolicy(request->options);
  if (policy == nullptr) return;
  if (request->from_file) {
    request->result = plugin_sign_verify_file_policy(policy, request->path.c_str());
  } else {
    // The library takes no null pointer, even for no bytes: an empty package is malformed.
    static const unsigned char kNoBytes = 0;
    const void* bytes = request->bytes != nullptr ? request->bytes : &kNoBytes;
    request->result = plugin_sign_verify_package_policy(policy, bytes, request->size);
  }
  plugin_sign_policy_free(policy);
}

bool SetProperty(napi_env env, napi_value object, const char* key, napi_value value) {
  return value != nullptr && napi_set_named_property(env, object, key, value) == napi_ok;
}

// A Uint8Array over a new ArrayBuffer holding a copy of `size` bytes.
napi_value CopyBytes(napi_env env, const void* bytes, size_t size) {
  void* data = nullptr;
  napi_value buffer = nullptr;
  napi_value array = nullptr;
  if (napi_create_arraybuffer(env, size, &data, &buffer) != napi_ok) return nullptr;
  if (size != 0) std::memcpy(data, bytes, size);
  if (napi_create_typedarray(env, napi_uint8_array, size, buffer, 0, &array) != napi_ok)
    return nullptr;
  return array;
}

// A text the result holds by pointer and length, or undefined when it holds none.
napi_value SizedText(napi_env env, const char* (*getter)(const plugin_sign_result*, size_t*),
                     const plugin_sign_result* result) {
  size_t length = 0;
  const char* text = getter(result, &length);
  if (text == nullptr) return nullptr;
  return Utf8(env, text, length);
}

napi_value Text(napi_env env, const char* text) {
  return text == nullptr ? nullptr : Utf8(env, text);
}

// What a failure knows of the package, when the library tells it (a failure after the
// signature verified): set on the Error beside its code.
// (An Error's own `name` is its kind, so the package's is `packageName`.)
void AddPackageFacts(napi_env env, napi_value error, const plugin_sign_result* result) {
  SetProperty(env, error, "packageName", SizedText(env, plugin_sign_result_name, result));
  SetProperty(env, error, "packageVersion", SizedText(env, plugin_sign_result_version, result));
  SetProperty(env, error, "keyId", Text(env, plugin_sign_result_key_id(result)));
  SetProperty(env, error, "manifestSha256", Text(env, plugin_sign_result_manifest_sha256(result)));
}

// The verified package as a plain object; null with an exception pending when JavaScript's
// heap refused an allocation.
napi_value VerifiedPackage(napi_env env, const plugin_sign_result* result) {
  napi_value package = nullptr;
  if (napi_create_object(env, &package) != napi_ok) return nullptr;
  size_t toml_size = 0;
  size_t wasm_size = 0;
  const void* toml = plugin_sign_result_plugin_toml(result, &toml_size);
  const void* wasm = plugin_sign_result_main_wasm(result, &wasm_size);
  const bool complete =
      SetProperty(env, package, "name", SizedText(env, plugin_sign_result_name, result)) &&
      SetProperty(env, package, "version", SizedText(env, plugin_sign_result_version, result)) &&
      SetProperty(env, package, "keyId", Text(env, plugin_sign_result_key_id(result))) &&
      SetProperty(env, package, "publicKey",
                  CopyBytes(env, plugin_sign_result_public_key(result), 32)) &&
      SetProperty(env, package, "manifestSha256",
                  Text(env, plugin_sign_result_manifest_sha256(result))) &&
      SetProperty(env, package, "pluginTomlSha256",
                  Text(env, plugin_sign_result_plugin_toml_sha256(result))) &&
      SetProperty(env, package, "mainWasmSha256",
                  Text(env, plugin_sign_result_main_wasm_sha256(result))) &&
      SetProperty(env, package, "pluginToml", CopyBytes(env, toml, toml_size)) &&
      SetProperty(env, package, "mainWasm", CopyBytes(env, wasm, wasm_size));
  return complete ? package : nullptr;
}

// On the JavaScript thread: settles the promise and frees the request, and with it the
// library's result, whose bytes were copied.
void Complete(napi_env env, napi_status status, void* data) {
  std::unique_ptr<Request> request(static_cast<Request*>(data));
  napi_delete_async_work(env, request->work);
  if (status == napi_cancelled) return;  // the environment is going away: nobody to tell
  const plugin_sign_result* result = request->result;
  const plugin_sign_status verdict = plugin_sign_result_status(result);
  if (verdict != PLUGIN_SIGN_OK) {
    const char* message = result != nullptr ? plugin_sign_result_message(result)
                                            : "no memory left to verify the package";
    napi_value error = StatusError(env, verdict, message);
    if (result != nullptr) AddPackageFacts(env, error, result);
    napi_reject_deferred(env, request->deferred, error);
    return;
  }
  napi_value package = VerifiedPackage(env, result);
  if (package == nullptr) {
    napi_value exception = nullptr;
    bool pending = false;
    napi_is_exception_pending(env, &pending);
    if (pending) {
      napi_get_and_clear_last_exception(env, &exception);
    } else {
      exception = StatusError(env, PLUGIN_SIGN_OUT_OF_MEMORY, "no memory for the verified package");
    }
    napi_reject_deferred(env, request->deferred, exception);
    return;
  }
  napi_resolve_deferred(env, request->deferred, package);
}

// Queues a request whose input is set; returns its promise.
napi_value Queue(napi_env env, std::unique_ptr<Request> request) {
  napi_value promise = nullptr;
  CHECK(napi_create_promise(env, &request->deferred, &promise));
  napi_value name = Utf8(env, "plugin-sign-verify");
  CHECK(
      napi_create_async_work(env, nullptr, name, Verify, Complete, request.get(), &request->work));
  if (napi_queue_async_work(env, request->work) != napi_ok) {
    napi_delete_async_work(env, request->work);
    // The deferred is left unsettled and its promise unreturned: the thrown error is the answer.
    return ThrowLastError(env);
  }
  request.release();  // Complete frees it
  return promise;
}

// verify(path, options): reads and verifies the package file off the JavaScript thread.
napi_value VerifyFile(napi_env env, napi_callback_info info) {
  size_t argc = 2;
  napi_value argv[2] = {nullptr, nullptr};
  CHECK(napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr));
  auto request = std::make_unique<Request>();
  request->from_file = true;
  if (!ReadPath(env, argv[0], "path", &request->path)) return nullptr;
  if (request->path.empty()) return ThrowArgument(env, "path must not be empty");
  if (!ReadOptions(env, argv[1], &request->options)) return nullptr;
  return Queue(env, std::move(request));
}

// The bytes of a Buffer, a typed array, a DataView or an ArrayBuffer.
bool ReadBytes(napi_env env, napi_value value, const void** data, size_t* size) {
  bool is = false;
  void* pointer = nullptr;
  if (napi_is_typedarray(env, value, &is) == napi_ok && is) {
    napi_typedarray_type type;
    size_t length = 0;
    napi_value buffer = nullptr;
    size_t offset = 0;
    if (napi_get_typedarray_info(env, value, &type, &length, &pointer, &buffer, &offset) != napi_ok)
      return false;
    size_t element = 1;
    switch (type) {
      case napi_int16_array:
      case napi_uint16_array:
        element = 2;
        break;
      case napi_int32_array:
      case napi_uint32_array:
      case napi_float32_array:
        element = 4;
        break;
      case napi_float64_array:
      case napi_bigint64_array:
      case napi_biguint64_array:
        element = 8;
        break;
      default:
        break;
    }
    *data = pointer;
    *size = length * element;
    return true;
  }
  if (napi_is_dataview(env, value, &is) == napi_ok && is) {
    napi_value buffer = nullptr;
    size_t offset = 0;
    if (napi_get_dataview_info(env, value, size, &pointer, &buffer, &offset) != napi_ok)
      return false;
    *data = pointer;
    return true;
  }
  if (napi_is_arraybuffer(env, value, &is) == napi_ok && is) {
    if (napi_get_arraybuffer_info(env, value, &pointer, size) != napi_ok) return false;
    *data = pointer;
    return true;
  }
  ThrowArgument(env, "bytes must be a Buffer, a typed array, a DataView or an ArrayBuffer");
  return false;
}

// verifyBytes(bytes, options): verifies a package already in memory, off the JavaScript
// thread, from a copy taken now: the caller may change or reuse its buffer at once.
napi_value VerifyBytes(napi_env env, napi_callback_info info) {
  size_t argc = 2;
  napi_value argv[2] = {nullptr, nullptr};
  CHECK(napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr));
  auto request = std::make_unique<Request>();
  const void* data = nullptr;
  size_t size = 0;
  if (!ReadBytes(env, argv[0], &data, &size)) return nullptr;
  if (!ReadOptions(env, argv[1], &request->options)) return nullptr;
  if (size != 0) {
    request->bytes = std::malloc(size);
    if (request->bytes == nullptr) {
      napi_throw(
          env, StatusError(env, PLUGIN_SIGN_OUT_OF_MEMORY, "no memory for a copy of the package"));
      return nullptr;
    }
    std::memcpy(request->bytes, data, size);
  }
  request->size = size;
  return Queue(env, std::move(request));
}

// --- The module -------------------------------------------------------------------------------

void DeleteModule(napi_env env, void* data, void*) {
  auto* module = static_cast<Module*>(data);
  if (module->keys_class != nullptr) napi_delete_reference(env, module->keys_class);
  if (module->revocations_class != nullptr) napi_delete_reference(env, module->revocations_class);
  delete module;
}

napi_value DefineClass(napi_env env, const char* name, napi_callback constructor,
                       napi_callback from_file, napi_callback from_text, bool with_count,
                       napi_ref* out) {
  const napi_property_attributes statics =
      static_cast<napi_property_attributes>(napi_static | napi_enumerable);
  napi_value from_file_function = nullptr;
  napi_value from_text_function = nullptr;
  CHECK(napi_create_function(env, "fromFile", NAPI_AUTO_LENGTH, from_file, nullptr,
                             &from_file_function));
  CHECK(napi_create_function(env, "fromText", NAPI_AUTO_LENGTH, from_text, nullptr,
                             &from_text_function));
  napi_property_descriptor properties[] = {
      {"fromFile", nullptr, nullptr, nullptr, nullptr, from_file_function, statics, nullptr},
      {"fromText", nullptr, nullptr, nullptr, nullptr, from_text_function, statics, nullptr},
      {"count", nullptr, nullptr, KeysCount, nullptr, nullptr, napi_enumerable, nullptr},
  };
  napi_value cls = nullptr;
  CHECK(napi_define_class(env, name, NAPI_AUTO_LENGTH, constructor, nullptr, with_count ? 3 : 2,
                          properties, &cls));
  CHECK(napi_create_reference(env, cls, 1, out));
  return cls;
}

napi_value Init(napi_env env, napi_value exports) {
  auto* module = new Module();
  if (napi_set_instance_data(env, module, DeleteModule, nullptr) != napi_ok) {
    delete module;
    return ThrowLastError(env);
  }
  napi_value keys = DefineClass(env, "Keys", ConstructKeys, KeysFrom<true>, KeysFrom<false>, true,
                                &module->keys_class);
  napi_value revocations =
      DefineClass(env, "Revocations", ConstructRevocations, RevocationsFrom<true>,
                  RevocationsFrom<false>, false, &module->revocations_class);
  if (keys == nullptr || revocations == nullptr) return nullptr;
  napi_value verify = nullptr;
  napi_value verify_bytes = nullptr;
  CHECK(napi_create_function(env, "verify", NAPI_AUTO_LENGTH, VerifyFile, nullptr, &verify));
  CHECK(napi_create_function(env, "verifyBytes", NAPI_AUTO_LENGTH, VerifyBytes, nullptr,
                             &verify_bytes));
  const bool exported =
      SetProperty(env, exports, "Keys", keys) &&
      SetProperty(env, exports, "Revocations", revocations) &&
      SetProperty(env, exports, "verify", verify) &&
      SetProperty(env, exports, "verifyBytes", verify_bytes) &&
      SetProperty(env, exports, "libraryVersion", Utf8(env, plugin_sign_version()));
  return exported ? exports : ThrowLastError(env);
}

}  // namespace

NAPI_MODULE_INIT() {
  return Init(env, exports);
}
