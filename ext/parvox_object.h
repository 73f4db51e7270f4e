// ParvoxObject: the native state behind one Parvox instance (wrapped as
// typed data that frees it and tells its size), and the rules by which calls
// share it.
//
// - One call at a time: a call claims the object for its Ruby thread and
//   gives it back when done. A call from another thread waits for it; a call
//   from the thread that holds it (from its progress block, another fiber of
//   that thread, or a signal handler that interrupted it) answers at once:
//   waiting would be waiting for itself.
// - Owned by one process: in a child forked from the process that made it,
//   the object never touches the archive file the two share.
#pragma once

#include <ruby.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/background_run.h"
#include "archive/failures.h"
#include "archive/read/archive_reader.h"
#include "archive/write/archive_writer.h"
#include "ext/ruby_io.h"
#include "fsutil/threads.h"

struct OpenEntry;  // ext/entry_reader.h

struct ParvoxObject {
  ParvoxObject();
  // Ends any work still running and finishes the archive.
  ~ParvoxObject();

  // The IO the archive is written into or read from, when it is no path.
  std::unique_ptr<IoLink> io;
  // An archive made by Parvox.new, or one opened by Parvox.load; neither
  // once closed.
  std::unique_ptr<ArchiveWriter> writer;
  std::unique_ptr<ArchiveReader> reader;
  // The EntryReaders open on the reader, closed before it goes.
  std::vector<OpenEntry*> open_entries;
  const int64_t owner_process;
  // Why the last call on the object failed (UTF-8); empty after one that
  // succeeded. What kind of failure it was.
  std::string last_error;
  failures::Kind failure_kind = failures::Kind::other;
  // Why the archive could not be finished, once close said so: every later
  // close says it again.
  std::string close_failure;

  // The Ruby thread whose call holds the object, or nil.
  VALUE holder = Qnil;
  // Counts claims, so that a claim taken over by close is not given back twice.
  uint64_t claims = 0;
  // The holding call's work while it runs on a thread of its own.
  BackgroundRun* running = nullptr;

  // Threads waiting for the object sleep on this, without the global lock.
  fsutil::Mutex idle_lock;
  fsutil::Condition idle;
  bool held = false;   // `holder` is not nil; guarded by idle_lock
  bool woken = false;  // a waiter is asked to look for interrupts

  bool owned_by_this_process() const;
  bool held_by_this_thread() const;
};

namespace parvox_object {

// The ParvoxObject behind `self`; raises TypeError for anything that is not
// a Parvox instance made by Parvox.new or Parvox.load.
ParvoxObject* of(VALUE self);
// A new instance of `klass` (Parvox, or a subclass) that owns `object` from
// then on. Should making it raise, `object` is deleted first.
VALUE wrap(VALUE klass, ParvoxObject* object);

// Takes the object for the calling thread, waiting while another thread
// holds it; answers the claim's number, or 0 with `last_error` set when the
// object refuses the call: it belongs to the process this one was forked
// from, this thread holds it already, or it is held and the call comes from
// a signal handler, which must not wait. May raise while it waits (an
// interrupt), before anything is claimed.
uint64_t claim(ParvoxObject* object);
// Waits like claim() but also from a signal handler; for close. Answers 0
// when this thread holds the object or it is not this process's.
uint64_t claim_for_close(ParvoxObject* object);
// Gives back claim number `claim`, unless it was taken over meanwhile.
void release(ParvoxObject* object, uint64_t claim);

// Ends the holding call's work: asks it to stop and waits until its thread
// has ended. The call itself notices when it resumes.
void stop_running_work(ParvoxObject* object);
// Finishes and lets go of the archive; the object is closed afterwards.
// Takes over the object from a call of this thread that still holds it (one
// whose progress block or fiber is still running, or was abandoned); the
// object stays held until let_go(). False, with last_error set, when an
// archive being written could not be finished.
bool close_object(ParvoxObject* object);
// Gives up the object, whichever call of this thread held it.
void let_go(ParvoxObject* object);
// In a child forked from the owner: lets go of the archive without a byte
// written. When a call was working on it at the fork, its state is as that
// call's thread (which does not exist here) left it: then nothing is touched
// and the answer is false.
bool let_go_in_child(ParvoxObject* object);

}  // namespace parvox_object
