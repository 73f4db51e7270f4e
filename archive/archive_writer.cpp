#include "archive/archive_writer.h"

#include <new>

std::unique_ptr<ArchiveWriter> ArchiveWriter::create(const std::string& path,
                                                     const std::string& password,
                                                     std::string* reason) noexcept {
  try {
    std::unique_ptr<ArchiveWriter> writer(new ArchiveWriter);
    writer->path_ = path;
    // Once the file is created it exists and is empty, whatever happens next.
    writer->file_ = fsutil::File::create(path);
    if (!writer->file_.is_open()) {
      *reason = quoted(path) + ": " + fsutil::last_error_text();
      return nullptr;
    }
    writer->knows_written_id_ = writer->file_.identity(&writer->written_id_);
    zip_writer::ZipWriter::Settings settings;
    settings.password = password;
    writer->engine_ = zip_writer::ZipWriter::start(writer->file_, settings);
    if (!writer->engine_) {
      *reason = quoted(path) + ": could not start a zip archive";
      return nullptr;
    }
    return writer;
  } catch (...) {
    *reason = "out of memory";
    return nullptr;
  }
}

ArchiveWriter::~ArchiveWriter() { finish(); }

bool ArchiveWriter::finish() noexcept {
  if (!engine_) return false;
  const bool finished = engine_->finish();
  engine_.reset();
  return file_.close() && finished;
}

void ArchiveWriter::abandon() noexcept {
  if (engine_) engine_->abandon();
  engine_.reset();
  file_.close();
}

// Answers false with `reason` as the operation's last error.
bool ArchiveWriter::fail(std::string reason) {
  last_error_ = std::move(reason);
  return false;
}
