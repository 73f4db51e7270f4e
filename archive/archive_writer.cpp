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
  bool finished = false;
  try {
    finished = engine_->finish();
    if (!finished) last_error_ = writer_failure();
    engine_.reset();
    if (!file_.close() && finished) {
      finished = false;
      last_error_ = quoted(path_) + " could not be finished: " + fsutil::last_error_text();
    }
  } catch (...) {
    finished = false;
    last_error_ = "out of memory";  // fits the string's own room: no allocation
  }
  engine_.reset();
  file_.close();
  return finished;
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

// Why the writer broke: the entry it could not write, or the archive it
// could not finish, and the system's reason.
std::string ArchiveWriter::writer_failure() const {
  const std::string& entry = engine_->failed_entry();
  if (entry.empty()) return quoted(path_) + " could not be finished: " + engine_->failure();
  return quoted(entry) + " could not be written to " + quoted(path_) + ": " + engine_->failure();
}

// Why the writer did not take an entry: the writer is broken, or the name
// was refused.
std::string ArchiveWriter::engine_failure() const {
  return engine_->broken() ? writer_failure() : engine_->refusal();
}
