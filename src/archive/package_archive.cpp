#include "archive/package_archive.hpp"

#include "io/file_io.hpp"

namespace plugin_sign {
namespace {

// An open file descriptor as archive output; positioning fails (ESPIPE) on a pipe.
class FileArchiveOutput final : public ArchiveOutput {
 public:
  explicit FileArchiveOutput(int fd) : fd_(fd) {}

  std::expected<void, IoError> write(std::span<const std::byte> bytes) override {
    return write_all(fd_, bytes);
  }
  std::expected<std::uint64_t, IoError> position() override { return current_position(fd_); }
  std::expected<void, IoError> seek(std::uint64_t offset) override {
    auto moved = seek_to(fd_, offset);
    if (!moved) return std::unexpected(moved.error());
    return {};
  }

 private:
  int fd_;
};

// How adding an entry and finishing show the writer's error; writing an entry shows it bare.
std::string archive_error_text(const IoError& error) {
  return "i/o error: " + io_error_text(error);
}

// The failure of `finish`, with the one more attempt that a discarded unfinished writer
// makes; the run still fails with the first error.
ArchiveFailure finish_failure(ZipWriter& writer, const IoError& first) {
  ArchiveFailure failure{.message = "failed to finalize zip: " + archive_error_text(first),
                         .drop_report = {}};
  if (!writer.can_retry_finish()) return failure;
  if (auto again = writer.finish(); !again)
    failure.drop_report = "ZipWriter drop failed: " + archive_error_text(again.error());
  return failure;
}

}  // namespace

std::expected<void, ArchiveFailure> write_archive(ArchiveOutput& output,
                                                  std::span<const ArchiveEntry> entries,
                                                  ZipLimits limits) {
  ZipWriter writer(output, limits);
  for (const ArchiveEntry& entry : entries) {
    if (auto started = writer.start_entry(entry.name); !started)
      return std::unexpected(
          ArchiveFailure{.message = "failed to add " + std::string(entry.name) +
                                    " to zip: " + archive_error_text(started.error()),
                         .drop_report = {}});
    if (auto written = writer.write(entry.content); !written)
      return std::unexpected(
          ArchiveFailure{.message = "failed to write " + std::string(entry.name) +
                                    " into zip: " + io_error_text(written.error()),
                         .drop_report = {}});
  }
  if (auto finished = writer.finish(); !finished)
    return std::unexpected(finish_failure(writer, finished.error()));
  return {};
}

std::expected<void, ArchiveFailure> write_package_archive(std::string_view path,
                                                          std::span<const ArchiveEntry> entries) {
  auto file = create_output_file(path);
  if (!file)
    return std::unexpected(ArchiveFailure{
        .message = "failed to create " + std::string(path) + ": " + io_error_text(file.error()),
        .drop_report = {}});
  FileArchiveOutput output(file->get());
  // After a failure the descriptor closes with `file`: the run fails with the first error.
  if (auto written = write_archive(output, entries); !written) return written;
  // On NFS or under a quota a write error may show only here. Closing ends finishing the
  // archive, so its failure is reported as finishing's.
  if (auto closed = file->close(); !closed)
    return std::unexpected(
        ArchiveFailure{.message = "failed to finalize zip: " + archive_error_text(closed.error()),
                       .drop_report = {}});
  return {};
}

}  // namespace plugin_sign
