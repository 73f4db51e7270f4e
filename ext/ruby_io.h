// Ruby objects given where a path may stand: paths (a String, a Pathname)
// and the IO objects an archive is written into (Parvox.new) or read from
// (Parvox.load).
//
// Every call into such an object happens on the Ruby thread serving the
// Parvox call that needs it, never on the work's own thread: that thread
// asks, the serving thread answers between the events it waits for
// (ext/call.cpp), as it runs progress blocks.
#pragma once

#include <ruby.h>

#include <memory>
#include <string>

#include "archive/background_run.h"
#include "archive/read/archive_reader.h"
#include "archive/write/archive_writer.h"
#include "fsutil/process.h"

namespace ruby_io {

// Whether `value` stands for a path: a String, or an object with to_path
// that is no IO (no fileno: a Pathname, not a File or Tempfile).
bool is_path(VALUE value);
// The String of the path `value` stands for (to_path's answer for a
// Pathname); raises TypeError for anything else.
VALUE path_string(VALUE value);

}  // namespace ruby_io

// What an archive object keeps of the IO it writes into or reads from, and
// how a call serves it.
class IoLink {
 public:
  virtual ~IoLink() = default;
  virtual void mark() const = 0;
  // Whether calls must leave their work to a thread of their own and serve
  // the IO meanwhile: true for any IO the work itself would call.
  virtual bool serves_calls() const = 0;
  // The call's work is about to start on a thread of its own, `run`.
  virtual void begin(BackgroundRun* run) = 0;
  // Serves what the work has asked of the IO. Answers the state of a Ruby
  // exception that must go on to the caller (0 when none).
  virtual int serve() = 0;
  // The calling thread serves no more (an exception, a close): the work
  // never waits for it from now on.
  virtual void stop() = 0;
  // The work has ended (`*state` holds any exception already met): serves
  // what is left. False, with `*reason`, when the IO failed during the call.
  virtual bool end(std::string* reason, int* state) = 0;
  // Whether bytes of the archive still wait to be written into the IO (an
  // interrupt stopped their writing).
  virtual bool holds_unsent() const { return false; }
  // Whether this thread is inside serve(), in one of the IO's own methods
  // or waiting for it: the link must not be ended or freed from there (a
  // close from the IO's `write`, or from a signal handler meanwhile).
  bool serving() const { return serving_ > 0; }

 protected:
  // Whether this is a child forked (inside one of the IO's methods, a
  // `fork` without a block) from the process that made the link: the IO
  // and the archive's bytes are the parent's, and nothing of the link may
  // be touched (its locks may be held by the parent's threads).
  bool forked_away() const { return fsutil::current_process_id() != owner_process_; }

  // Marks the link served for as long as it lives.
  class Serving {
   public:
    explicit Serving(IoLink& link) : link_(link) { ++link_.serving_; }
    ~Serving() { --link_.serving_; }
    Serving(const Serving&) = delete;
    Serving& operator=(const Serving&) = delete;

   private:
    IoLink& link_;
  };

 private:
  int serving_ = 0;
  const int64_t owner_process_ = fsutil::current_process_id();
};

namespace ruby_io {

// Checks an IO given to Parvox.new: raises TypeError unless it has `write`.
void check_writable_io(VALUE io);
// The system's handle of the descriptor behind `io` (its fileno), or -1 when
// it has none: a StringIO, a closed IO, any object whose fileno fails. Raises
// only an exception that must go on (an interrupt).
intptr_t file_handle_of(VALUE io);
// A writer into `io`, with its link; null, with `*reason` and `*kind`, when
// it cannot. `handle` is file_handle_of(io): the file it names is never
// stored.
std::unique_ptr<ArchiveWriter> create_writer_into(VALUE io, intptr_t handle,
                                                  const std::string& password,
                                                  const archive_writer::Options& options,
                                                  std::unique_ptr<IoLink>* link,
                                                  std::string* reason,
                                                  failures::Kind* kind) noexcept;

}  // namespace ruby_io

// What Parvox.load learns of an IO before it reads the archive from it: the
// String of a StringIO, the descriptor of a file, or an object read with
// read and seek, and its size. Found with Ruby calls that may raise, before
// any native object exists.
struct IoSource {
  enum class Kind { memory, descriptor, readable, unseekable } kind = Kind::unseekable;
  VALUE io = Qnil;
  VALUE bytes = Qnil;   // memory: a frozen String sharing the StringIO's
  intptr_t handle = -1;  // descriptor: the system's handle of its file
  int64_t size = 0;     // readable: from `size`, or a seek to the end
  VALUE class_name = Qnil;  // a String: an anonymous class's name is made anew each time
  VALUE refusal = Qnil;  // a String saying why it cannot be read, when it cannot
};
namespace ruby_io {

// Looks at the object given to Parvox.load; raises TypeError for one that
// can be neither read nor seeked.
IoSource io_source_of(VALUE io);
// A reader of the archive in `source`, with its link; null, with `*reason`
// and `*kind` and, for a Ruby exception raised by the IO that must go on,
// `*state`.
std::unique_ptr<ArchiveReader> load_reader_from(const IoSource& source, const std::string& password,
                                                const std::string& alternative,
                                                std::unique_ptr<IoLink>* link,
                                                std::string* reason, failures::Kind* kind,
                                                int* state) noexcept;

}  // namespace ruby_io
