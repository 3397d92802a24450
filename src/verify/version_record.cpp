// version_record.cpp — the version record (plugin_sign/version_record.hpp,
// verify/version_record.hpp).
#include "verify/version_record.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "io/escaped_field.hpp"
#include "io/file_io.hpp"
#include "io/new_file.hpp"
#include "plugin/semver.hpp"
#include "plugin_sign/keys.hpp"
#include "plugin_sign/version_record.hpp"
#include "signing/text_lines.hpp"

namespace plugin_sign {
namespace {

constexpr std::size_t kKeyIdDigits = 16;
constexpr std::size_t kSha256Digits = 64;

std::unexpected<VerifyError> failure(VerifyErrorKind kind, std::string message) {
  return std::unexpected(VerifyError{.kind = kind, .message = std::move(message)});
}

// Without a branch per digit, so that the compiler can check many digits at once: a host reads
// every entry of its record on each verification.
bool is_lowercase_hex(std::string_view text, std::size_t digits) {
  if (text.size() != digits) return false;
  unsigned bad = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    bad |= static_cast<unsigned>(static_cast<unsigned char>(byte - '0') > 9) &
           static_cast<unsigned>(static_cast<unsigned char>(byte - 'a') > 5);
  }
  return bad == 0;
}

// Why the fields of an entry are not as written; empty when they are.
std::optional<std::string> field_fault(const RecordLine& entry) {
  if (!is_escaped_field(entry.name)) return "the name is not escaped as written";
  if (!is_lowercase_hex(entry.key_id, kKeyIdDigits))
    return "the key ID is not 16 lowercase hexadecimal digits";
  if (!is_escaped_field(entry.version)) return "the version is not escaped as written";
  if (!is_lowercase_hex(entry.manifest_sha256, kSha256Digits))
    return "the manifest_sha256 is not 64 lowercase hexadecimal digits";
  return std::nullopt;
}

// The fields of one entry line, checked; why not, otherwise.
std::expected<RecordLine, std::string> parse_line(std::string_view line) {
  RecordLine entry;
  entry.line = line;
  std::string_view* fields[] = {&entry.name, &entry.key_id, &entry.version, &entry.manifest_sha256};
  std::string_view rest = line;
  for (std::size_t i = 0; i < 4; ++i) {
    const std::size_t space = i < 3 ? rest.find(' ') : std::string_view::npos;
    if (i < 3 && space == std::string_view::npos)
      return std::unexpected("an entry is NAME KEYID VERSION MANIFEST_SHA256, one space apart");
    *fields[i] = rest.substr(0, space);
    if (i < 3) rest.remove_prefix(space + 1);
  }
  if (auto fault = field_fault(entry)) return std::unexpected(std::move(*fault));
  return entry;
}

// The offset of the first space or line feed in `text` from `from` on. A plain loop: names and
// versions are a few bytes long, too short for memchr's start-up on every field of every line.
std::size_t word_end(std::string_view text, std::size_t from) {
  while (from < text.size() && text[from] != ' ' && text[from] != '\n') ++from;
  return from;
}

// The entry at the start of `text` when it is well formed, found from the fixed widths of the
// key ID and digest, with its line feed; empty otherwise, and parse_line says why. Both split a
// well-formed line the same way.
std::optional<RecordLine> well_formed_entry(std::string_view text) {
  const std::size_t name_end = word_end(text, 0);
  const std::size_t key_end = name_end + 1 + kKeyIdDigits;
  if (key_end >= text.size() || text[name_end] != ' ' || text[key_end] != ' ') return std::nullopt;
  const std::size_t version_end = word_end(text, key_end + 1);
  const std::size_t line_end = version_end + 1 + kSha256Digits;
  if (line_end >= text.size() || text[version_end] != ' ' || text[line_end] != '\n')
    return std::nullopt;
  RecordLine entry;
  entry.line = text.substr(0, line_end);
  entry.name = text.substr(0, name_end);
  entry.key_id = text.substr(name_end + 1, kKeyIdDigits);
  entry.version = text.substr(key_end + 1, version_end - key_end - 1);
  entry.manifest_sha256 = text.substr(version_end + 1, kSha256Digits);
  if (field_fault(entry)) return std::nullopt;
  return entry;
}

// "NAME KEYID": sorting these byte by byte sorts by name, then key ID, since the space sorts
// before every byte an escaped name holds.
std::string_view sort_key(const RecordLine& entry) {
  return entry.line.substr(0, entry.name.size() + 1 + entry.key_id.size());
}

bool sorts_before(const RecordLine& a, const RecordLine& b) {
  return sort_key(a) < sort_key(b);
}

std::string text_of(std::span<const RecordLine> lines) {
  std::size_t size = kVersionRecordHeader.size() + 1;
  for (const RecordLine& entry : lines) size += entry.line.size() + 1;
  std::string text;
  text.reserve(size);
  text.append(kVersionRecordHeader).push_back('\n');
  for (const RecordLine& entry : lines) text.append(entry.line).push_back('\n');
  return text;
}

std::string line_of(std::string_view name, std::string_view key_id, std::string_view version,
                    std::string_view manifest_sha256) {
  return std::string(name) + ' ' + std::string(key_id) + ' ' + std::string(version) + ' ' +
         std::string(manifest_sha256);
}

// How `candidate` stands to `recorded`: SemVer precedence; a version that is not a semantic
// version below every one that is, and equal to itself only, so that no such version can
// replace another silently. Empty when they cannot be ordered.
std::optional<int> compare_versions(std::string_view candidate, std::string_view recorded) {
  if (auto order = compare_semver(candidate, recorded)) return order;
  const bool candidate_semver = is_semver(candidate), recorded_semver = is_semver(recorded);
  if (candidate_semver != recorded_semver) return candidate_semver ? 1 : -1;
  if (candidate == recorded) return 0;
  return std::nullopt;
}

std::vector<std::string> revoked_key_ids(const Revocations* revocations) {
  std::vector<std::string> ids;
  if (revocations == nullptr) return ids;
  ids = revocations->key_ids;
  for (const PublicKey& key : revocations->keys) ids.push_back(key_id(key));
  return ids;
}

std::expected<void, VerifyError> check_one(const RecordLine& entry,
                                           const RecordCandidate& candidate) {
  const std::string recorded = unescape_field(entry.version).value_or("");
  const std::string name(candidate.name), version(candidate.version);
  const std::optional<int> order = compare_versions(candidate.version, recorded);
  if (!order || (*order < 0 && !is_semver(candidate.version)))
    return failure(VerifyErrorKind::kRollback, name + " " + version +
                                                   " is not a semantic version and cannot follow " +
                                                   recorded + ", accepted before");
  if (*order < 0)
    return failure(VerifyErrorKind::kRollback,
                   name + " " + version + " is older than " + recorded + ", accepted before");
  if (*order == 0 && entry.manifest_sha256 != candidate.manifest_sha256) {
    const std::string contents =
        " with other contents (manifest_sha256 " + std::string(entry.manifest_sha256) + ")";
    if (version == recorded)
      return failure(VerifyErrorKind::kRollback,
                     name + " " + version + " was accepted before" + contents);
    return failure(VerifyErrorKind::kRollback, name + " " + version + " is the same version as " +
                                                   recorded + ", accepted before" + contents);
  }
  return {};
}

// The lock beside the record, not the record itself: the record is replaced by a rename, and a
// lock on the file that was renamed away would lock nothing.
std::expected<FileDescriptor, std::string> lock_record(const std::string& path) {
  const std::string lock_path = path + ".lock";
  int fd;
  do {
    fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0)
    return std::unexpected("failed to open " + lock_path + ": " + io_error_text(last_os_error()));
  FileDescriptor lock(fd);
  while (::flock(lock.get(), LOCK_EX) != 0)
    if (errno != EINTR)
      return std::unexpected("failed to lock " + lock_path + ": " + io_error_text(last_os_error()));
  return lock;
}

// The directory the record is written into gets the walk that trust files get (owner and mode
// of it and every directory above it): whoever could replace the record there could lower the
// versions it holds.
std::expected<void, std::string> check_record_directory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  auto trusted = check_trust_path(dir);
  if (trusted) return {};
  if (trusted.error().kind == IoErrorKind::kWorldWritable)
    return std::unexpected("refused, " + io_error_text(trusted.error()));
  return std::unexpected("failed to check " + dir + ": " + io_error_text(trusted.error()));
}

// Checks every line of `text` and hands each entry to `visit`, in file order; the first fault,
// "line N: ...", otherwise.
template <typename Visit>
std::expected<void, std::string> scan_record(std::string_view text, Visit&& visit) {
  if (!text.starts_with(kVersionRecordHeader) ||
      text.substr(kVersionRecordHeader.size(), 1) != "\n")
    return std::unexpected(line_error(1, "not a version record (the first line must be \"" +
                                             std::string(kVersionRecordHeader) + "\")"));
  std::string_view rest = text.substr(kVersionRecordHeader.size() + 1);
  std::optional<RecordLine> previous;
  for (std::size_t number = 2; !rest.empty(); ++number) {
    std::expected<RecordLine, std::string> entry = std::unexpected(std::string());
    if (auto fast = well_formed_entry(rest)) {
      entry = *fast;
    } else {
      const std::size_t end = rest.find('\n');
      if (end == std::string_view::npos)
        return std::unexpected(line_error(number, "ends without a line feed (cut short?)"));
      entry = parse_line(rest.substr(0, end));
      if (!entry) return std::unexpected(line_error(number, entry.error()));
    }
    if (previous && !sorts_before(*previous, *entry))
      return std::unexpected(
          line_error(number,
                     "not after the line before it (entries are sorted by name, then key ID, "
                     "and each name and key ID has one entry)"));
    visit(*entry);
    previous = *entry;
    rest.remove_prefix(entry->line.size() + 1);
  }
  return {};
}

}  // namespace

std::expected<std::vector<RecordLine>, std::string> parse_record_lines(std::string_view text) {
  std::vector<RecordLine> lines;
  auto scanned = scan_record(text, [&](const RecordLine& entry) { lines.push_back(entry); });
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  return lines;
}

std::expected<NameLines, std::string> find_name_lines(std::string_view text,
                                                      std::string_view name) {
  const std::string escaped = escape_field(name);
  NameLines found{.lines = {}, .insert_at = text.size()};
  bool later_seen = false;
  auto scanned = scan_record(text, [&](const RecordLine& entry) {
    if (entry.name == escaped) {
      found.lines.push_back(entry);
    } else if (!later_seen && escaped < entry.name) {
      later_seen = true;
      found.insert_at = static_cast<std::size_t>(entry.line.data() - text.data());
    }
  });
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  return found;
}

std::expected<void, VerifyError> check_record_lines(const std::vector<RecordLine>& lines,
                                                    const RecordCandidate& candidate,
                                                    const Revocations* revocations) {
  const std::string name = escape_field(candidate.name);
  // The entries of one name are adjacent: find them by the sort order.
  auto first = std::partition_point(lines.begin(), lines.end(),
                                    [&](const RecordLine& entry) { return entry.name < name; });
  std::optional<std::vector<std::string>> revoked;
  for (auto it = first; it != lines.end() && it->name == name; ++it) {
    if (!revoked) revoked = revoked_key_ids(revocations);
    if (std::find(revoked->begin(), revoked->end(), it->key_id) != revoked->end()) continue;
    if (auto checked = check_one(*it, candidate); !checked) return checked;
  }
  return {};
}

std::optional<std::string> record_text_with(std::string_view text,
                                            const std::vector<RecordLine>& lines,
                                            const RecordCandidate& candidate,
                                            std::optional<std::size_t> insert_at) {
  const std::string line = line_of(escape_field(candidate.name), candidate.key_id,
                                   escape_field(candidate.version), candidate.manifest_sha256);
  auto parsed = parse_line(line);
  if (!parsed) return std::nullopt;
  // Decided before anything is copied: a host that loads what it recorded before writes
  // nothing.
  auto at = std::lower_bound(lines.begin(), lines.end(), *parsed, sorts_before);
  const bool replaces = at != lines.end() && sort_key(*at) == sort_key(*parsed);
  if (replaces) {
    const std::string recorded = unescape_field(at->version).value_or("");
    const std::optional<int> order = compare_versions(candidate.version, recorded);
    if (!order || *order <= 0) return std::nullopt;
  }
  if (text.empty()) return std::string(kVersionRecordHeader) + "\n" + line + "\n";
  // The new line goes where the sort order puts it, in place of its own older entry.
  const std::size_t begin = at != lines.end()
                                ? static_cast<std::size_t>(at->line.data() - text.data())
                                : insert_at.value_or(text.size());
  const std::size_t end = replaces ? begin + at->line.size() + 1 : begin;
  std::string updated;
  updated.reserve(text.size() + line.size() + 1);
  updated.append(text.substr(0, begin)).append(line).append("\n").append(text.substr(end));
  return updated;
}

std::expected<LockedVersionRecord, VerifyError> LockedVersionRecord::open(std::string_view path,
                                                                          std::string_view name) {
  LockedVersionRecord record;
  record.path_ = std::string(path);
  const std::string prefix = "version record " + record.path_ + ": ";
  auto lock = lock_record(record.path_);
  if (!lock) return failure(VerifyErrorKind::kUnreadable, prefix + lock.error());
  record.lock_ = std::move(*lock);
  auto text = read_trust_file(record.path_, kMaxVersionRecordSize);
  if (!text) {
    if (text.error().os_error == ENOENT) return record;
    const VerifyErrorKind kind = text.error().kind == IoErrorKind::kOutOfMemory
                                     ? VerifyErrorKind::kOutOfMemory
                                     : VerifyErrorKind::kUnreadable;
    const char* verb =
        text.error().kind == IoErrorKind::kWorldWritable ? "refused, " : "failed to read: ";
    return failure(kind, prefix + verb + io_error_text(text.error()));
  }
  record.text_ = std::move(*text);
  auto lines = find_name_lines(record.text(), name);
  if (!lines)
    return failure(VerifyErrorKind::kUnreadable,
                   prefix + lines.error() + " (damaged: it is left as it is; repair or remove it)");
  record.lines_ = std::move(*lines);
  return record;
}

std::string_view LockedVersionRecord::text() const {
  const auto bytes = text_.bytes();
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::expected<void, VerifyError> LockedVersionRecord::check(const RecordCandidate& candidate,
                                                            const Revocations* revocations) const {
  return check_record_lines(lines_.lines, candidate, revocations);
}

std::expected<void, VerifyError> LockedVersionRecord::add(const RecordCandidate& candidate) {
  const std::optional<std::string> text =
      record_text_with(this->text(), lines_.lines, candidate, lines_.insert_at);
  if (!text) return {};
  const std::string prefix = "version record " + path_ + ": ";
  if (auto checked = check_record_directory(path_); !checked)
    return failure(VerifyErrorKind::kUnreadable, prefix + checked.error());
  const NewFile file{.path = path_, .content = std::as_bytes(std::span(*text)), .mode = 0644};
  if (auto written = write_new_files(std::span(&file, 1), ExistingFile::kReplace); !written)
    return failure(VerifyErrorKind::kUnreadable,
                   prefix + "failed to write: " + io_error_text(written.error().error) +
                       " (the record is as it was)");
  return {};
}

std::expected<std::vector<RecordedVersion>, std::string> parse_version_record(
    std::string_view text) {
  auto lines = parse_record_lines(text);
  if (!lines) return std::unexpected(lines.error());
  std::vector<RecordedVersion> entries;
  entries.reserve(lines->size());
  for (const RecordLine& entry : *lines)
    entries.push_back(RecordedVersion{.name = *unescape_field(entry.name),
                                      .key_id = std::string(entry.key_id),
                                      .version = *unescape_field(entry.version),
                                      .manifest_sha256 = std::string(entry.manifest_sha256)});
  return entries;
}

std::string format_version_record(std::span<const RecordedVersion> entries) {
  std::vector<std::string> texts;
  texts.reserve(entries.size());
  for (const RecordedVersion& entry : entries)
    texts.push_back(line_of(escape_field(entry.name), entry.key_id, escape_field(entry.version),
                            entry.manifest_sha256));
  std::vector<RecordLine> lines;
  lines.reserve(texts.size());
  for (const std::string& text : texts) {
    const std::size_t first = text.find(' ');
    const std::size_t second = text.find(' ', first + 1);
    RecordLine line;
    line.line = text;
    line.name = line.line.substr(0, first);
    line.key_id = line.line.substr(first + 1, second - first - 1);
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end(), sorts_before);
  return text_of(lines);
}

}  // namespace plugin_sign
