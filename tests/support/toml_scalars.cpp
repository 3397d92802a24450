#include "support/toml_scalars.hpp"

#include <cstdint>

#include "plugin/toml_library.hpp"

namespace plugin_sign::testing {
namespace {

std::string scalar_type(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string:
      return "string";
    case toml::node_type::integer:
      return "integer";
    case toml::node_type::floating_point:
      return "float";
    case toml::node_type::boolean:
      return "bool";
    case toml::node_type::date:
      return "date-local";
    case toml::node_type::time:
      return "time-local";
    case toml::node_type::date_time:
      return node.as_date_time()->get().offset ? "datetime" : "datetime-local";
    default:
      return node.is_table() ? "table" : "array";
  }
}

std::string scalar_value(const toml::node& node) {
  if (const toml::value<std::string>* text = node.as_string()) return text->get();
  if (const toml::value<std::int64_t>* integer = node.as_integer())
    return std::to_string(integer->get());
  if (const toml::value<double>* number = node.as_floating_point())
    return float_text(number->get());
  if (const toml::value<bool>* boolean = node.as_boolean())
    return boolean->get() ? "true" : "false";
  return {};
}

void collect_scalars(const toml::node& node, std::vector<TomlPathStep>& path,
                     std::vector<TomlScalar>& out) {
  if (const toml::table* table = node.as_table()) {
    for (const auto& [key, child] : entries_in_document_order(*table)) {
      path.emplace_back(std::string(key->str()));
      collect_scalars(*child, path, out);
      path.pop_back();
    }
  } else if (const toml::array* array = node.as_array()) {
    for (std::size_t i = 0; i < array->size(); ++i) {
      path.emplace_back(i);
      collect_scalars(*array->get(i), path, out);
      path.pop_back();
    }
  } else {
    out.push_back(TomlScalar{path, scalar_type(node), scalar_value(node)});
  }
}

}  // namespace

std::expected<std::vector<TomlScalar>, TomlError> check_toml_document(std::string_view text) {
  auto root = parse_toml(text);
  if (!root) return std::unexpected(std::move(root.error()));
  std::vector<TomlScalar> scalars;
  std::vector<TomlPathStep> path;
  collect_scalars(*root, path, scalars);
  return scalars;
}

}  // namespace plugin_sign::testing
