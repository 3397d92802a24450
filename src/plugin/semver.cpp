// semver.cpp — Semantic Versioning 2.0.0 precedence (plugin/semver.hpp).
#include "plugin/semver.hpp"

#include <vector>

namespace plugin_sign {
namespace {

struct Version {
  std::string_view major, minor, patch;
  std::vector<std::string_view> pre_release;
};

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_identifier_char(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}

bool all_digits(std::string_view text) {
  for (const char c : text)
    if (!is_digit(c)) return false;
  return true;
}

// A numeric identifier: digits, and no leading zero unless it is "0".
bool is_number(std::string_view text) {
  return !text.empty() && all_digits(text) && (text.size() == 1 || text[0] != '0');
}

std::vector<std::string_view> split_dots(std::string_view text) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t dot = text.find('.');
    parts.push_back(text.substr(0, dot));
    if (dot == std::string_view::npos) return parts;
    text.remove_prefix(dot + 1);
  }
}

bool valid_identifiers(const std::vector<std::string_view>& identifiers, bool numbers_strict) {
  for (const std::string_view id : identifiers) {
    if (id.empty()) return false;
    for (const char c : id)
      if (!is_identifier_char(c)) return false;
    if (numbers_strict && all_digits(id) && !is_number(id)) return false;
  }
  return true;
}

std::optional<Version> parse(std::string_view text) {
  const std::size_t plus = text.find('+');
  if (plus != std::string_view::npos) {
    if (!valid_identifiers(split_dots(text.substr(plus + 1)), false)) return std::nullopt;
    text = text.substr(0, plus);
  }
  Version version;
  const std::size_t dash = text.find('-');
  if (dash != std::string_view::npos) {
    version.pre_release = split_dots(text.substr(dash + 1));
    if (!valid_identifiers(version.pre_release, true)) return std::nullopt;
    text = text.substr(0, dash);
  }
  const std::vector<std::string_view> core = split_dots(text);
  if (core.size() != 3) return std::nullopt;
  for (const std::string_view part : core)
    if (!is_number(part)) return std::nullopt;
  version.major = core[0];
  version.minor = core[1];
  version.patch = core[2];
  return version;
}

int sign_of(int value) {
  return (value > 0) - (value < 0);
}

// Numbers of any length, compared without converting them: without leading zeros, the longer
// is the larger.
int compare_numbers(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return sign_of(a.compare(b));
}

// Numeric identifiers rank below alphanumeric ones; alphanumeric ones compare in ASCII order.
int compare_identifiers(std::string_view a, std::string_view b) {
  const bool a_number = all_digits(a), b_number = all_digits(b);
  if (a_number && b_number) return compare_numbers(a, b);
  if (a_number != b_number) return a_number ? -1 : 1;
  return sign_of(a.compare(b));
}

// A version without pre-release ranks above the same version with one; otherwise identifier
// by identifier, and a longer list above its own prefix.
int compare_pre_release(const std::vector<std::string_view>& a,
                        const std::vector<std::string_view>& b) {
  if (a.empty() || b.empty()) return a.empty() == b.empty() ? 0 : a.empty() ? 1 : -1;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
    if (const int order = compare_identifiers(a[i], b[i]); order != 0) return order;
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

}  // namespace

bool is_semver(std::string_view text) {
  return parse(text).has_value();
}

std::optional<int> compare_semver(std::string_view a, std::string_view b) {
  const auto x = parse(a), y = parse(b);
  if (!x || !y) return std::nullopt;
  for (const auto part : {&Version::major, &Version::minor, &Version::patch})
    if (const int order = compare_numbers((*x).*part, (*y).*part); order != 0) return order;
  return compare_pre_release(x->pre_release, y->pre_release);
}

}  // namespace plugin_sign
