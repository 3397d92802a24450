// plugin_toml.cpp — plugin.toml read with the TOML library.
#include "plugin/plugin_toml.hpp"

#include "plugin/toml_library.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "io/utf8.hpp"
#include "plugin/toml_strict.hpp"

namespace plugin_sign {
namespace {

// Turns the parser's line and column (columns in code points, a leading byte order mark
// not counted) into byte offsets of the text.
class SourceMap {
 public:
  explicit SourceMap(std::string_view text) : text_(text) {
    line_starts_.push_back(0);
    for (std::size_t i = 0; i < text.size(); ++i)
      if (text[i] == '\n') line_starts_.push_back(i + 1);
    if (text.starts_with("\xEF\xBB\xBF")) bom_length_ = 3;
  }

  std::size_t offset(toml::source_position position) const {
    if (position.line == 0) return 0;
    if (position.line > line_starts_.size()) return text_.size();
    std::size_t at = line_starts_[position.line - 1] + (position.line == 1 ? bom_length_ : 0);
    for (toml::source_index column = 1; column < position.column && at < text_.size(); ++column)
      at = std::min(text_.size(), at + utf8_sequence_length(text_[at]));
    return at;
  }

  ByteRange range(const toml::source_region& region) const {
    const std::size_t start = offset(region.begin);
    return ByteRange{start, std::max(start, offset(region.end))};
  }

  // The code point at `position`, or the empty range at the end of the text.
  ByteRange code_point(toml::source_position position) const {
    const std::size_t start = offset(position);
    if (start >= text_.size()) return ByteRange{text_.size(), text_.size()};
    return ByteRange{start, std::min(text_.size(), start + utf8_sequence_length(text_[start]))};
  }

 private:
  std::string_view text_;
  std::vector<std::size_t> line_starts_;
  std::size_t bom_length_ = 0;
};

std::expected<toml::table, TomlError> parse_document(std::string_view text, const SourceMap& map) {
  toml::parse_result result = toml::parse(text);
  if (!result) {
    const toml::parse_error& error = result.error();
    // The library cuts a long key quoted in its message at a byte count, which may fall
    // inside a character: the report stays valid UTF-8.
    return std::unexpected(
        TomlError{to_utf8_lossy(error.description()), map.code_point(error.source().begin)});
  }
  if (std::optional<TomlError> refused = find_syntax_beyond_toml_1_1(text))
    return std::unexpected(std::move(*refused));
  return std::move(result).table();
}

void append_hex(std::string& out, unsigned value) {
  constexpr std::string_view kDigits = "0123456789abcdef";
  std::string digits;
  do {
    digits.insert(digits.begin(), kDigits[value % 16]);
    value /= 16;
  } while (value != 0);
  out += digits;
}

// `text` in double quotes with backslash escapes for quotes, backslashes and control
// characters (C0, DEL and C1).
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += text[i];
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (byte == 0) {
      out += "\\0";
    } else if (byte < 0x20 || byte == 0x7F || c1) {
      out += "\\u{";
      append_hex(out, c1 ? static_cast<unsigned char>(text[++i]) : byte);
      out += '}';
    } else {
      out += text[i];
    }
  }
  return out + '"';
}

// How a value reads in "invalid type: {}, expected ...".
std::string describe(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string:
      return "string " + quoted(node.as_string()->get());
    case toml::node_type::integer:
      return "integer `" + std::to_string(node.as_integer()->get()) + "`";
    case toml::node_type::floating_point:
      return "floating point `" + float_text(node.as_floating_point()->get()) + "`";
    case toml::node_type::boolean:
      return node.as_boolean()->get() ? "boolean `true`" : "boolean `false`";
    case toml::node_type::array:
      return "sequence";
    default:
      return "map";
  }
}

bool is_date_or_time(const toml::node& node) {
  return node.is_date() || node.is_time() || node.is_date_time();
}

std::expected<std::string, TomlError> text_field(const toml::node& node, const SourceMap& map) {
  if (const toml::value<std::string>* text = node.as_string()) return text->get();
  return std::unexpected(TomlError{"invalid type: " + describe(node) + ", expected a string",
                                   map.range(node.source())});
}

std::expected<PackageNameVersion, TomlError> package_from_table(const toml::table& table,
                                                                const SourceMap& map) {
  std::optional<std::string> name;
  std::optional<std::string> version;
  for (const auto& [key, node] : entries_in_document_order(table)) {
    const bool is_name = key->str() == "name";
    if (!is_name && key->str() != "version") continue;
    auto text = text_field(*node, map);
    if (!text) return std::unexpected(std::move(text.error()));
    (is_name ? name : version) = std::move(*text);
  }
  const ByteRange range = map.range(table.source());
  if (!name) return std::unexpected(TomlError{"missing field `name`", range});
  if (!version) return std::unexpected(TomlError{"missing field `version`", range});
  return PackageNameVersion{std::move(*name), std::move(*version)};
}

std::expected<PackageNameVersion, TomlError> package_from_array(const toml::array& array,
                                                                const SourceMap& map) {
  std::string fields[2];
  for (std::size_t i = 0; i < 2; ++i) {
    if (i >= array.size())
      return std::unexpected(TomlError{"invalid length " + std::to_string(i) +
                                           ", expected struct PackageNameVersion with 2 elements",
                                       map.range(array.source())});
    auto text = text_field(*array.get(i), map);
    if (!text) return std::unexpected(std::move(text.error()));
    fields[i] = std::move(*text);
  }
  return PackageNameVersion{std::move(fields[0]), std::move(fields[1])};
}

std::expected<PackageNameVersion, TomlError> package_from(const toml::table& root,
                                                          const SourceMap& map) {
  const toml::node* package = root.get("package");
  if (package == nullptr) return std::unexpected(TomlError{"missing field `package`", {0, 0}});
  if (const toml::table* table = package->as_table()) return package_from_table(*table, map);
  if (const toml::array* array = package->as_array()) return package_from_array(*array, map);
  const ByteRange range = map.range(package->source());
  if (is_date_or_time(*package)) return std::unexpected(TomlError{"missing field `name`", range});
  return std::unexpected(TomlError{
      "invalid type: " + describe(*package) + ", expected struct PackageNameVersion", range});
}

}  // namespace

// The library keeps a table's entries sorted by key; the key positions give back the order
// in which they were written.
std::vector<std::pair<const toml::key*, const toml::node*>> entries_in_document_order(
    const toml::table& table) {
  std::vector<std::pair<const toml::key*, const toml::node*>> entries;
  for (const auto& [key, node] : table) entries.emplace_back(&key, &node);
  std::ranges::stable_sort(entries, [](const auto& a, const auto& b) {
    const toml::source_position& pa = a.first->source().begin;
    const toml::source_position& pb = b.first->source().begin;
    return pa.line != pb.line ? pa.line < pb.line : pa.column < pb.column;
  });
  return entries;
}

std::string float_text(double value) {
  if (std::isnan(value)) return std::signbit(value) ? "-nan" : "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[64];
  const double magnitude = std::fabs(value);
  const bool plain = magnitude == 0 || (magnitude >= 1e-7 && magnitude < 1e21);
  const auto format = plain ? std::chars_format::fixed : std::chars_format::scientific;
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, format);
  std::string text(buffer, error == std::errc{} ? end : buffer);
  if (!plain) {
    if (const auto plus = text.find("e+"); plus != std::string::npos) text.erase(plus + 1, 1);
    // No zero before the exponent, as in 1e21 and 5e-324: to_chars writes 5e-8 as "5e-08".
    if (const auto zero = text.find("e-0"); zero != std::string::npos) text.erase(zero + 2, 1);
  } else if (text.find('.') == std::string::npos) {
    text += ".0";
  }
  return text;
}

std::expected<toml::table, TomlError> parse_toml(std::string_view text) {
  return parse_document(text, SourceMap(text));
}

std::expected<PackageNameVersion, std::string> read_package_name_version(
    std::span<const std::byte> bytes) {
  const std::string text =
      to_utf8_lossy(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  const SourceMap map(text);
  auto package = [&]() -> std::expected<PackageNameVersion, TomlError> {
    auto root = parse_document(text, map);
    if (!root) return std::unexpected(std::move(root.error()));
    return package_from(*root, map);
  }();
  if (!package)
    return std::unexpected(
        render_error_report(text, package.error().message, package.error().range));
  return std::move(*package);
}

std::string default_archive_name(const PackageNameVersion& package) {
  return package.name + "-v" + package.version + ".zip";
}

}  // namespace plugin_sign
