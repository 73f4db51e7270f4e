// One call of add_file, add_data, unzip_file, read or unzip_all, from its adapter
// to the native work and back:
//
//   adapter (archive_methods.cpp): checks the arguments
//   run_operation: claims the object, has the adapter build the Operation
//   perform: runs the work here, or on a thread of its own (BackgroundRun)
//     while this thread waits without the global lock, serving the work's
//     progress reports to the block and letting Ruby deliver interrupts
//   the work: ArchiveWriter / ArchiveReader
//
// An exception from the block or an interrupt (or a `break`) asks the work
// to stop; once it has ended and every C++ object of the call is gone, the
// exception goes on to the caller unchanged.
#pragma once

#include <ruby.h>

#include <functional>
#include <string>

#include "ext/background_run.h"
#include "ext/parvox_object.h"
#include "ext/ruby_strings.h"

struct Operation {
  BackgroundRun::Work work;
  // Where the work leaves its reason when it answers false.
  const std::string* reason = nullptr;
  // Work that costs less than handing it to a thread (an answer known at
  // once, a small entry) runs on the calling thread.
  bool runs_here = false;
  // Serves the work's reports, when a block was given, in place of calling
  // the block with the progress (Parvox#read hands its data over there);
  // answers the state of any exception or break.
  std::function<int(const BackgroundRun::Report& report)> serve_report;
};

// Builds the call's Operation from the object: false, with the object's
// last_error set, when the object cannot serve the call.
using OperationBuilder = std::function<bool(ParvoxObject& object, Operation* operation)>;

// Builds and runs the operation with the object claimed; answers whether it
// succeeded, leaving the reason in the object's last_error. A Ruby exception
// met on the way is left in `*state`. Reports go to the block when one was
// given (`has_block`).
bool perform(ParvoxObject* object, const OperationBuilder& build, bool has_block,
             int* state) noexcept;

// The whole call: true or false, or the exception re-raised once the native
// side has unwound.
template <typename Build>
VALUE run_operation(VALUE self, Build&& build, bool has_block = rb_block_given_p() != 0) {
  ParvoxObject* object = get_object(self);
  const uint64_t claimed = claim(object);
  if (!claimed) return Qfalse;
  int state = 0;
  const bool answer = perform(object, build, has_block, &state);
  release(object, claimed);
  if (state) rb_jump_tag(state);
  return bool_value(answer);
}

// The archive behind the object for adding or reading; null, with the
// object's last_error saying why, when it has none of that kind.
ArchiveWriter* writer_for_adding(ParvoxObject& object);
ArchiveReader* reader_for_reading(ParvoxObject& object);
