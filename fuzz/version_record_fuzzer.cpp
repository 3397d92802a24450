// Version records from hostile input: a record that parses is exactly the text its entries
// format to (one text per record), and a package added to it reads back and passes the same
// check again; a refusal names its line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "plugin_sign/version_record.hpp"
#include "verify/version_record.hpp"

namespace plugin_sign::fuzzing {
namespace {

// The candidate comes from the input's last bytes, so that the fuzzer steers both.
RecordCandidate candidate_from(std::string_view text, std::string& version) {
  const std::size_t split = text.size() / 2;
  version = std::string(text.substr(split, 12));
  return RecordCandidate{.name = text.substr(0, std::min<std::size_t>(split, 8)),
                         .version = version,
                         .key_id = "0123456789abcdef",
                         .manifest_sha256 = std::string_view(
                             "0000000000000000000000000000000000000000000000000000000000000000")};
}

void check_record(std::string_view text) {
  const auto parsed = parse_version_record(text);
  const auto lines = parse_record_lines(text);
  require(parsed.has_value() == lines.has_value(), "both parsers agree");
  if (!parsed) {
    require(parsed.error().starts_with("line "), "a refusal names its line", parsed.error());
    return;
  }
  require(format_version_record(*parsed) == text, "a record is the text of its entries",
          format_version_record(*parsed), text);

  std::string version;
  const RecordCandidate candidate = candidate_from(text, version);
  if (!check_record_lines(*lines, candidate, nullptr)) return;
  const auto updated = record_text_with(text, *lines, candidate);
  const auto by_name = find_name_lines(text, candidate.name);
  require(by_name.has_value(), "a record that parses has its name's lines");
  require(record_text_with(text, by_name->lines, candidate, by_name->insert_at) == updated,
          "one name's lines place the entry as all lines do");
  if (!updated) return;
  const auto again = parse_record_lines(*updated);
  require(again.has_value(), "an updated record parses", again ? "" : again.error(), *updated);
  require(check_record_lines(*again, candidate, nullptr).has_value(),
          "an accepted package passes again once recorded", *updated);
  require(!record_text_with(*updated, *again, candidate), "recording it twice changes nothing",
          *updated);
}

}  // namespace
}  // namespace plugin_sign::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plugin_sign::fuzzing::check_record(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
