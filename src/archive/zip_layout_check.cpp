#include "archive/zip_layout_check.hpp"

#include <algorithm>
#include <vector>

#include "archive/zip_reader.hpp"
#include "archive/zip_records.hpp"

namespace plugin_sign {
namespace {

// What a field means to the diagnosis, beyond its value.
enum class Role {
  kPlain,      // reported as its value and the expected value
  kSignature,  // tells which record sits where another was expected
  kName,       // the name or its length: reported by the name found
  kShared,     // held by the local header too, which was already checked
  kFlags,
  kMethod,
  kExtra,
  kComment,
  kOffset,
};

struct Field {
  const char* name;
  std::uint64_t offset;
  std::uint64_t width;
  Role role = Role::kPlain;
  bool hex = false;
};

constexpr Field kLocalFields[] = {
    {"signature", 0, 4, Role::kSignature, true},
    {"version needed", 4, 2},
    {"flags", 6, 2, Role::kFlags, true},
    {"compression method", 8, 2, Role::kMethod},
    {"modification time", 10, 2, Role::kPlain, true},
    {"modification date", 12, 2, Role::kPlain, true},
    {"CRC-32", 14, 4, Role::kShared, true},
    {"compressed size", 18, 4, Role::kShared},
    {"uncompressed size", 22, 4, Role::kShared},
    {"name length", 26, 2, Role::kName},
    {"extra field length", 28, 2, Role::kExtra},
};

constexpr Field kCentralFields[] = {
    {"signature", 0, 4, Role::kSignature, true},
    {"version made by", 4, 2, Role::kPlain, true},
    {"version needed", 6, 2},
    {"flags", 8, 2, Role::kShared, true},
    {"compression method", 10, 2, Role::kShared},
    {"modification time", 12, 2, Role::kShared, true},
    {"modification date", 14, 2, Role::kShared, true},
    {"CRC-32", 16, 4, Role::kShared, true},
    {"compressed size", 20, 4, Role::kShared},
    {"uncompressed size", 24, 4, Role::kShared},
    {"name length", 28, 2, Role::kName},
    {"extra field length", 30, 2, Role::kExtra},
    {"comment length", 32, 2, Role::kComment},
    {"disk number", 34, 2},
    {"internal attributes", 36, 2, Role::kPlain, true},
    {"external attributes", 38, 4, Role::kPlain, true},
    {"local header offset", 42, 4, Role::kOffset},
};

// The writer's only extra field: ZIP64 information holding the local header offset.
constexpr Field kZip64ExtraFields[] = {
    {"ZIP64 extra field ID", 0, 2, Role::kPlain, true},
    {"ZIP64 extra field size", 2, 2},
    {"local header offset", 4, 8, Role::kOffset},
};

constexpr Field kZip64EndFields[] = {
    {"signature", 0, 4, Role::kSignature, true},
    {"record size", 4, 8},
    {"version made by", 12, 2, Role::kPlain, true},
    {"version needed", 14, 2},
    {"disk number", 16, 4},
    {"directory disk", 20, 4},
    {"entries on this disk", 24, 8},
    {"entries", 32, 8},
    {"directory size", 40, 8},
    {"directory offset", 48, 8},
};

constexpr Field kZip64LocatorFields[] = {
    {"signature", 0, 4, Role::kSignature, true},
    {"ZIP64 end record disk", 4, 4},
    {"ZIP64 end record offset", 8, 8},
    {"disks", 16, 4},
};

constexpr Field kEndFields[] = {
    {"signature", 0, 4, Role::kSignature, true},
    {"disk number", 4, 2},
    {"directory disk", 6, 2},
    {"entries on this disk", 8, 2},
    {"entries", 10, 2},
    {"directory size", 12, 4},
    {"directory offset", 16, 4},
    {"comment length", 20, 2, Role::kComment},
};

const Field& field_at(std::span<const Field> fields, std::uint64_t offset) {
  for (const Field& f : fields)
    if (offset < f.offset + f.width) return f;
  return fields.back();
}

std::string number_text(std::uint64_t value, const Field& field) {
  if (!field.hex) return std::to_string(value);
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text = "0x";
  for (int shift = static_cast<int>(field.width * 8) - 4; shift >= 0; shift -= 4)
    text += kDigits[(value >> shift) & 0xF];
  return text;
}

// "{record} {field} {actual}, expected {expected}" for a field that exists in both.
std::string value_difference(std::string_view record, const Field& field,
                             std::span<const std::byte> actual,
                             std::span<const std::byte> expected) {
  return std::string(record) + " " + field.name + " " +
         number_text(read_le(actual, field.offset, field.width), field) + ", expected " +
         number_text(read_le(expected, field.offset, field.width), field);
}

std::string truncated() {
  return "truncated file";
}

// One record of the expected directory bytes, and how to describe a difference inside it.
struct Region {
  enum class Kind { kCentral, kZip64End, kZip64Locator, kEnd } kind;
  std::uint64_t start = 0;
  std::uint64_t size = 0;
  std::size_t entry = 0;  // for kCentral
};

std::vector<Region> directory_regions(std::span<const ZipEntryRecord> entries,
                                      std::uint64_t directory_size) {
  std::vector<Region> regions;
  std::uint64_t at = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint64_t size = kCentralHeaderSize + entries[i].name.size() +
                               (entries[i].header_offset >= kZip64Marker ? kZip64ExtraSize : 0);
    regions.push_back({Region::Kind::kCentral, at, size, i});
    at += size;
  }
  if (directory_size - at > kEndSize) {
    regions.push_back({Region::Kind::kZip64End, at, kZip64EndSize});
    regions.push_back({Region::Kind::kZip64Locator, at + kZip64EndSize, kZip64LocatorSize});
    at += kZip64EndSize + kZip64LocatorSize;
  }
  regions.push_back({Region::Kind::kEnd, at, kEndSize});
  return regions;
}

class DirectoryDiagnosis {
 public:
  DirectoryDiagnosis(std::span<const std::byte> tail, std::span<const std::byte> expected,
                     std::span<const ZipEntryRecord> entries)
      : tail_(tail), expected_(expected), entries_(entries) {
    for (const ZipEntryRecord& e : entries) names_.push_back(e.name);
  }

  std::string describe(const Region& region, std::uint64_t difference) const {
    switch (region.kind) {
      case Region::Kind::kCentral:
        return central(region, difference);
      case Region::Kind::kZip64End:
        return trailer(region, difference, kZip64EndFields, "ZIP64 end record");
      case Region::Kind::kZip64Locator:
        return trailer(region, difference, kZip64LocatorFields, "ZIP64 locator");
      case Region::Kind::kEnd:
        return trailer(region, difference, kEndFields, "end record");
    }
    return {};
  }

 private:
  // The name of a record that sits where another was expected, or nothing when cut off.
  std::optional<std::span<const std::byte>> name_in(std::uint64_t start,
                                                    std::uint64_t length_offset,
                                                    std::uint64_t name_offset) const {
    if (start + name_offset > tail_.size()) return std::nullopt;
    const std::uint64_t length = read_le(tail_, start + length_offset, 2);
    if (start + name_offset + length > tail_.size()) return std::nullopt;
    return tail_.subspan(start + name_offset, length);
  }

  // A record past the last one expected: another local header (`central` false) or another
  // central directory header.
  std::string extra_entry(std::uint64_t start, bool central) const {
    auto name =
        central ? name_in(start, 28, kCentralHeaderSize) : name_in(start, 26, kLocalHeaderSize);
    if (!name) return truncated();
    return entry_name_fault(*name, names_.size(), names_) + (central ? kInDirectory : "");
  }

  static constexpr const char* kInDirectory = " in the central directory";

  std::string central(const Region& region, std::uint64_t difference) const {
    const ZipEntryRecord& entry = entries_[region.entry];
    // Another entry's record here differs in its sizes first; its name says more.
    if (difference - region.start >= 4) {
      auto name = name_in(region.start, 28, kCentralHeaderSize);
      if (!name) return truncated();
      if (!std::ranges::equal(*name, std::as_bytes(std::span(entry.name))))
        return entry_name_fault(*name, region.entry, names_) + kInDirectory;
    }
    const std::uint64_t fixed_end = kCentralHeaderSize + entry.name.size();
    const std::uint64_t offset = difference - region.start;
    Field field{"name", kCentralHeaderSize, entry.name.size(), Role::kName};
    if (offset < kCentralHeaderSize)
      field = field_at(kCentralFields, offset);
    else if (offset >= fixed_end)
      field = field_at(kZip64ExtraFields, offset - fixed_end);
    const std::uint64_t field_start =
        region.start + (offset >= fixed_end ? fixed_end : 0) + field.offset;
    if (field.role != Role::kName && field_start + field.width > tail_.size()) return truncated();
    const auto actual = tail_.subspan(field_start - field.offset);
    const auto expected = expected_.subspan(field_start - field.offset);
    const std::string prefix = entry.name + ": ";
    switch (field.role) {
      case Role::kSignature: {
        const std::uint64_t found = read_le(actual, 0, 4);
        if (found == kLocalSignature && region.entry == 0) return extra_entry(region.start, false);
        if (found == kEndSignature || found == kZip64EndSignature)
          return entry.name + " missing from the central directory";
        return prefix + "no central directory header where expected";
      }
      case Role::kName: {
        auto name = name_in(region.start, 28, kCentralHeaderSize);
        if (!name) return truncated();
        return entry_name_fault(*name, region.entry, names_) + kInDirectory;
      }
      case Role::kShared:
        return prefix + "local header does not match the central directory (" + field.name + ")";
      case Role::kExtra:
        if (read_le(expected, field.offset, 2) == 0)
          return prefix + "extra field in the central directory";
        break;
      case Role::kComment:
        return prefix + "entry comment in the central directory";
      case Role::kOffset:
        return prefix + "central directory points at offset " +
               std::to_string(read_le(actual, field.offset, field.width)) +
               ", not at its local header at " + std::to_string(entry.header_offset);
      default:
        break;
    }
    return prefix + value_difference("central directory", field, actual, expected);
  }

  std::string trailer(const Region& region, std::uint64_t difference, std::span<const Field> fields,
                      std::string_view record) const {
    const Field& field = field_at(fields, difference - region.start);
    if (region.start + field.offset + field.width > tail_.size()) return truncated();
    const auto actual = tail_.subspan(region.start);
    if (field.role == Role::kSignature) {
      const std::uint64_t found = read_le(actual, 0, 4);
      if (found == kCentralSignature) return extra_entry(region.start, true);
      if (found == kZip64EndSignature) return "unexpected ZIP64 end record";
      return "no " + std::string(record) + " after the central directory";
    }
    if (field.role == Role::kComment) return "archive comment";
    return value_difference(record, field, actual, expected_.subspan(region.start));
  }

  std::span<const std::byte> tail_;
  std::span<const std::byte> expected_;
  std::span<const ZipEntryRecord> entries_;
  std::vector<std::string_view> names_;
};

}  // namespace

std::uint64_t read_le(std::span<const std::byte> bytes, std::uint64_t offset, std::uint64_t width) {
  std::uint64_t value = 0;
  for (std::uint64_t i = width; i-- > 0;)
    value = (value << 8) | std::to_integer<std::uint64_t>(bytes[offset + i]);
  return value;
}

std::string shown_name(std::span<const std::byte> bytes) {
  constexpr std::size_t kShown = 64;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::byte b : bytes.first(std::min(bytes.size(), kShown))) {
    const auto c = std::to_integer<unsigned char>(b);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      text += static_cast<char>(c);
    } else {
      text += "\\x";
      text += kDigits[c >> 4];
      text += kDigits[c & 0xF];
    }
  }
  if (bytes.size() > kShown) text += "...";
  return text;
}

std::string entry_name_fault(std::span<const std::byte> found, std::size_t position,
                             std::span<const std::string_view> expected) {
  const std::string_view name(reinterpret_cast<const char*>(found.data()), found.size());
  const auto at = std::ranges::find(expected, name);
  const auto index = static_cast<std::size_t>(at - expected.begin());
  if (at != expected.end() && index < position) return "duplicate entry " + std::string(name);
  if (position >= expected.size()) return "unexpected fourth entry " + shown_name(found);
  if (at != expected.end())
    return "entry " + std::string(name) + " out of order, expected " +
           std::string(expected[position]);
  return "unexpected entry name " + shown_name(found);
}

std::optional<std::string> local_header_difference(std::span<const std::byte> actual,
                                                   std::span<const std::byte> expected,
                                                   std::string_view name) {
  const auto [a, e] =
      std::ranges::mismatch(actual.first(kLocalHeaderSize), expected.first(kLocalHeaderSize));
  if (a == actual.begin() + kLocalHeaderSize) return std::nullopt;
  const Field& field = field_at(kLocalFields, static_cast<std::uint64_t>(a - actual.begin()));
  const std::string prefix = std::string(name) + ": ";
  const std::uint64_t value = read_le(actual, field.offset, field.width);
  switch (field.role) {
    case Role::kFlags:
      if (value & 0x1) return prefix + "encrypted entry";
      if (value & 0x8) return prefix + "data descriptor flag set";
      break;
    case Role::kMethod:
      return prefix + "compression method " + std::to_string(value) + ", expected 8 (DEFLATE)";
    case Role::kExtra:
      return prefix + "extra field in the local header";
    default:
      break;
  }
  return prefix + value_difference("local header", field, actual, expected);
}

std::expected<void, ZipReadError> check_directory(std::span<const std::byte> tail,
                                                  std::span<const ZipEntryRecord> entries,
                                                  std::uint64_t directory_offset) {
  const std::vector<std::byte> expected = encode_directory(entries, directory_offset);
  if (std::ranges::equal(tail, expected)) return {};
  auto refused = [](std::string message) {
    return std::unexpected(ZipReadError{
        .kind = ZipReadError::Kind::kMalformed, .message = std::move(message), .layout = true});
  };
  const auto difference =
      static_cast<std::uint64_t>(std::ranges::mismatch(tail, expected).in1 - tail.begin());
  if (difference == expected.size()) {
    // Readers that search backwards for the end record would take a second one for the real.
    if (tail.size() - difference >= kEndSize && read_le(tail, difference, 4) == kEndSignature)
      return refused("second end record after the end record");
    return refused("data after the end record");
  }
  if (difference == tail.size()) return refused(truncated());
  const DirectoryDiagnosis diagnosis(tail, expected, entries);
  for (const Region& region : directory_regions(entries, expected.size()))
    if (difference < region.start + region.size)
      return refused(diagnosis.describe(region, difference));
  return refused("data after the end record");
}

}  // namespace plugin_sign
