// One call of add_file, add_data, unzip_file, read or unzip_all (or the read
// of the directory behind entries), from its Ruby method to the native work
// and back:
//
//   the method (parvox.cpp): checks its arguments, then asks run_on_writer or
//     run_on_reader, giving a builder that says what work the call asks
//   run_on_writer / run_on_reader: claim the object (parvox_object.h), find
//     its writer or reader and have the builder fill in the Call
//   run: runs the work here, or on a thread of its own (BackgroundRun)
//     while this thread waits without the global lock, serving the work's
//     progress reports to the block and letting Ruby deliver interrupts;
//     for an archive written into or read from an IO, always on its own
//     thread, this one writing or reading the IO for it (ruby_io.h)
//   the work: ArchiveWriter / ArchiveReader
//
// An exception from the block or an interrupt (or a `break`) asks the work
// to stop; once it has ended and every C++ object of the call is gone, the
// exception goes on to the caller unchanged.
#pragma once

#include <ruby.h>

#include <functional>
#include <string>

#include "archive/background_run.h"
#include "ext/parvox_object.h"

// What one call asks of the archive, filled in by the method's builder.
struct Call {
  BackgroundRun::Work work;
  // Work that costs less than handing it to a thread (an answer known at
  // once, a small entry) runs on the calling thread.
  bool runs_here = false;
  // Serves the work's reports, when a block was given, in place of calling
  // the block with the progress (Parvox#read hands its data over there);
  // answers the state of any exception or break.
  std::function<int(const BackgroundRun::Report& report)> serve_report;
  // Ruby code this thread runs while the work runs on a thread of its own,
  // in place of only waiting for it (write_entry's block, which makes the
  // work's data); answers the state of any exception or break, which stops
  // the work. A call with one never runs here, and its work reports nothing.
  std::function<int(BackgroundRun* run)> feed;
  // Why the call is refused, when the builder answers false, and its kind.
  std::string refusal;
  failures::Kind refusal_kind = failures::Kind::other;
};

namespace call {

// Runs native work that must not let a C++ exception reach Ruby: any
// exception becomes the answer false.
template <typename Work>
bool guarded(Work&& work) noexcept {
  try {
    return work();
  } catch (...) {
    return false;
  }
}

// Runs the call with the object claimed; answers whether it succeeded,
// leaving the reason in the object's last_error (`reason` and its `kind`, the
// archive's, when the work gave none). A Ruby exception met on the way is left in `*state`.
// Reports go to the block when one was given (`has_block`).
bool run(ParvoxObject* object, const Call& call, const std::string& reason,
         const failures::Kind& kind, bool has_block, int* state) noexcept;

// For a call's feed: waits once for its work `run` (something taken, a
// wake), serving the archive's IO meanwhile and letting Ruby deliver
// interrupts (an exception is left in `*state`). Answers whether the work
// still runs, in this process, as the object's call.
bool wait_on_work(ParvoxObject* object, BackgroundRun* run, int* state);

// The Symbol Ruby knows a kind of failure by (Parvox::Error's classes are
// chosen by it).
VALUE kind_symbol(failures::Kind kind);

// Keeps the object's failure, [kind, reason], as the calling fiber's, for
// the face that raises to ask right after the call: by then the object's
// own last_error may be a later call's, of another thread. Called with the
// object given back, before any Ruby code could run.
void note_failure(const ParvoxObject& object);
// The failure noted last on the calling fiber, or nil.
VALUE noted_failure();

// The archive behind the object for adding or reading; null, with the
// object's last_error saying why, when it has none of that kind.
ArchiveWriter* writer_for_adding(ParvoxObject& object);
ArchiveReader* reader_for_reading(ParvoxObject& object);

// Has `build(archive, &call)` fill in the call and runs it: false, with the
// object's last_error set, when there is no such archive or the builder
// refuses the call.
template <typename Archive, typename Build>
bool build_and_run(ParvoxObject* object, Archive* (*archive_of)(ParvoxObject&), Build& build,
                   bool has_block, int* state) noexcept {
  try {
    Archive* archive = archive_of(*object);
    if (!archive) return false;
    Call call;
    if (!build(*archive, &call)) {
      object->last_error = call.refusal;
      object->failure_kind = call.refusal_kind;
      return false;
    }
    return run(object, call, archive->last_error(), archive->failure_kind(), has_block, state);
  } catch (...) {
    try {
      object->last_error = "out of memory";
    } catch (...) {
    }
    return false;
  }
}

// The whole call: true or false, or the exception re-raised once the native
// side has unwound. Everything that may raise (fetching and claiming the
// object) comes before any C++ object is made.
template <typename Archive, typename Build>
VALUE claim_and_run(VALUE self, Archive* (*archive_of)(ParvoxObject&), Build& build,
                    bool has_block) {
  ParvoxObject* object = parvox_object::of(self);
  const uint64_t claimed = parvox_object::claim(object);
  int state = 0;
  const bool answer = claimed && build_and_run(object, archive_of, build, has_block, &state);
  parvox_object::release(object, claimed);
  if (state) rb_jump_tag(state);
  if (answer) return Qtrue;
  note_failure(*object);
  return Qfalse;
}

// A call that adds to the archive being written:
// `build(ArchiveWriter& writer, Call* call)` answers whether it filled in the
// call, or false with the reason in call->refusal.
template <typename Build>
VALUE run_on_writer(VALUE self, Build&& build, bool has_block = rb_block_given_p() != 0) {
  return claim_and_run(self, writer_for_adding, build, has_block);
}

// A call that reads the loaded archive:
// `build(ArchiveReader& reader, Call* call)`, as above.
template <typename Build>
VALUE run_on_reader(VALUE self, Build&& build, bool has_block = rb_block_given_p() != 0) {
  return claim_and_run(self, reader_for_reading, build, has_block);
}

}  // namespace call
