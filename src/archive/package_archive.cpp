#include "archive/zip_writer.hpp"

namespace plugin_sign {
namespace {

// The failure of `finish`, with the one more attempt that a discarded unfinished writer
// makes; the run still fails with the first error.
ArchiveFailure finish_failure(ZipWriter& writer, const ArchiveError& first) {
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
    return std::unexpected(ArchiveFailure{
        .message = "failed to finalize zip: " + archive_error_text(ArchiveError{closed.error()}),
        .drop_report = {}});
  return {};
}

}  // namespace plugin_sign
