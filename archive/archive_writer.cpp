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
    if (!writer->start_engine(nullptr, password)) {
      *reason = quoted(path) + ": could not start a zip archive";
      return nullptr;
    }
    return writer;
  } catch (...) {
    *reason = "out of memory";
    return nullptr;
  }
}

std::unique_ptr<ArchiveWriter> ArchiveWriter::create(std::shared_ptr<StreamOutput> stream,
                                                     const std::string& password,
                                                     std::string* reason) noexcept {
  try {
    std::unique_ptr<ArchiveWriter> writer(new ArchiveWriter);
    writer->stream_ = std::move(stream);
    if (!writer->start_engine(writer->stream_.get(), password)) {
      *reason = "could not start a zip archive";
      return nullptr;
    }
    return writer;
  } catch (...) {
    *reason = "out of memory";
    return nullptr;
  }
}

// Starts the zip writer on `output`, or on the file when it is null.
bool ArchiveWriter::start_engine(ArchiveOutput* output, const std::string& password) {
  zip_writer::ZipWriter::Settings settings;
  settings.password = password;
  engine_ = output ? zip_writer::ZipWriter::start(*output, settings)
                   : zip_writer::ZipWriter::start(file_, settings);
  return engine_ != nullptr;
}

std::string ArchiveWriter::shown_target() const { return stream_ ? "the stream" : quoted(path_); }

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
      last_error_ = shown_target() + " could not be finished: " + fsutil::last_error_text();
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
  if (entry.empty()) return shown_target() + " could not be finished: " + engine_->failure();
  return quoted(entry) + " could not be written to " + shown_target() + ": " + engine_->failure();
}

// Why the writer did not take an entry: the writer is broken, or the name
// was refused.
std::string ArchiveWriter::engine_failure() const {
  return engine_->broken() ? writer_failure() : engine_->refusal();
}
