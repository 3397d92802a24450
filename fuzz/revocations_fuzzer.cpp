// Revocation files from hostile input: a refusal names its line, and an accepted file holds
// only well-formed entries, which written out again read back as the same entries.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "io/escaped_field.hpp"
#include "plugin_sign/revocations.hpp"

namespace plugin_sign::fuzzing {
namespace {

bool is_lowercase_hex(std::string_view text, std::size_t digits) {
  if (text.size() != digits) return false;
  for (const char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// The file that says the same without statements: a statement's key by its key ID.
std::string serialise(const Revocations& revocations) {
  std::string text;
  for (const PublicKey& key : revocations.keys) text += "key-id " + key_id(key) + "\n";
  for (const std::string& id : revocations.key_ids) text += "key-id " + id + "\n";
  for (const std::string& digest : revocations.packages) text += "package " + digest + "\n";
  for (const VersionFloor& floor : revocations.floors)
    text += "below " + escape_field(floor.name) + " " + floor.version + "\n";
  return text;
}

void check_revocation_file(std::string_view text) {
  const auto parsed = parse_revocations(text);
  if (!parsed) {
    require(parsed.error().starts_with("line "), "a refusal names its line", parsed.error());
    // Whatever a line holds, the reason quotes only a short part of it.
    require(parsed.error().size() <= 400, "a refusal stays short", parsed.error().substr(0, 100));
    return;
  }
  std::size_t lines = 1;
  for (const char c : text) lines += c == '\n';
  const Revocations& r = *parsed;
  require(r.keys.size() + r.key_ids.size() + r.packages.size() + r.floors.size() <= lines,
          "one entry a line at most");
  for (const PublicKey& key : r.keys)
    require(text.find(public_key_base64(key)) != std::string_view::npos,
            "a revoked key is one the text names", public_key_base64(key));
  for (const std::string& id : r.key_ids)
    require(is_lowercase_hex(id, 16), "a key ID is 16 lowercase hexadecimal digits", id);
  for (const std::string& digest : r.packages)
    require(is_lowercase_hex(digest, 64), "a package is 64 lowercase hexadecimal digits", digest);

  const auto again = parse_revocations(serialise(r));
  require(again.has_value(), "the serialised file parses", again ? "" : again.error(),
          serialise(r));
  require(again->keys.empty(), "no statement in the serialised file");
  require(again->key_ids.size() == r.keys.size() + r.key_ids.size(), "the same key IDs");
  for (std::size_t i = 0; i < r.keys.size(); ++i)
    require(again->key_ids[i] == key_id(r.keys[i]), "a statement's key by its ID");
  for (std::size_t i = 0; i < r.key_ids.size(); ++i)
    require(again->key_ids[r.keys.size() + i] == r.key_ids[i], "the same key ID");
  require(again->packages == r.packages, "the same packages");
  require(again->floors.size() == r.floors.size(), "the same floors");
  for (std::size_t i = 0; i < r.floors.size(); ++i)
    require(again->floors[i].name == r.floors[i].name &&
                again->floors[i].version == r.floors[i].version,
            "the same floor", again->floors[i].name, r.floors[i].name);
}

}  // namespace
}  // namespace plugin_sign::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plugin_sign::fuzzing::check_revocation_file(
      std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
