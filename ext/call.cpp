#include "ext/call.h"  // ruby.h first: Ruby 2.7's ruby/thread.h needs it

#include <ruby/thread.h>

#include <new>
#include <vector>

#include "ext/ruby_strings.h"

namespace {

using Event = BackgroundRun::Event;

struct WaitRequest {
  BackgroundRun* run;
  Event event;
};

void* wait_for_event(void* address) {
  auto* request = static_cast<WaitRequest*>(address);
  request->event = request->run->wait();
  return nullptr;
}

void wake_waiting_thread(void* run) { static_cast<BackgroundRun*>(run)->wake(); }

VALUE wait_without_gvl(VALUE address) {
  auto* request = reinterpret_cast<WaitRequest*>(address);
  rb_thread_call_without_gvl(wait_for_event, request, wake_waiting_thread, request->run);
  return Qnil;
}

// The next event, waited for without the global lock. Ruby delivers pending
// interrupts on the way in and out (signal handlers run there); an exception
// they raise is caught into `*state` (the event is then `woken`).
Event wait_for_next_event(BackgroundRun* run, int* state) {
  WaitRequest request{run, Event::woken};
  int raised = 0;
  rb_protect(wait_without_gvl, reinterpret_cast<VALUE>(&request), &raised);
  if (raised) *state = raised;
  return request.event;
}

struct ProgressCall {
  const char* entry;  // UTF-8
  int64_t done;
  int64_t total;
};

VALUE yield_progress(VALUE address) {
  const auto* call = reinterpret_cast<const ProgressCall*>(address);
  VALUE total = call->total < 0 ? Qnil : LL2NUM(call->total);
  return rb_yield_values(3, rb_utf8_str_new_cstr(call->entry), LL2NUM(call->done), total);
}

// Runs the block with a report; answers the state of any exception or break.
// The work's entry names are UTF-8 text.
int run_block(const BackgroundRun::Report& report) noexcept {
  int state = 0;
  ProgressCall call{report.entry.c_str(), report.done, report.total};
  rb_protect(yield_progress, reinterpret_cast<VALUE>(&call), &state);
  return state;
}

int serve_report(const Call& call, const BackgroundRun::Report& report) {
  return call.serve_report ? call.serve_report(report) : run_block(report);
}

// Whether `run` is still the object's work in this process. The block and
// signal handlers run Ruby code that may close the object (which ends the
// work) or fork (the child has no thread of the work).
bool still_running(const ParvoxObject* object, const BackgroundRun* run) {
  return object->running == run && object->owned_by_this_process();
}

// Waits for the work to end, serving its reports and Ruby's interrupts. After
// the first exception the work is asked to stop; waiting then goes on until
// it has, and a later exception takes the place of an earlier one.
void serve_until_finished(ParvoxObject* object, const Call& call, BackgroundRun* run, int* state) {
  for (;;) {
    const Event event = wait_for_next_event(run, state);
    if (object->io && still_running(object, run)) {
      if (!*state) *state = object->io->serve();
      if (*state) object->io->stop();
    }
    if (!still_running(object, run) || event == Event::finished) return;
    if (event == Event::report) {
      if (!*state) *state = serve_report(call, run->report());
      if (!still_running(object, run)) return;
      if (*state) {
        if (object->io) object->io->stop();
        run->stop();
      } else {
        run->resume();
      }
    } else if (*state) {
      if (object->io) object->io->stop();
      run->stop();
    }
  }
}

constexpr char kClosedWhileRunning[] = "the archive was closed while the call ran";

// Runs the work on this thread, which holds the global lock. Its reports are
// served once it has returned: Ruby code run in the middle of it could switch
// fibers and close the object under it.
bool run_here(const Call& call, bool has_block, int* state) {
  std::vector<BackgroundRun::Report> reports;
  Progress::Listener listener;
  if (has_block) {
    listener = [&reports](const std::string& entry, int64_t done, int64_t total) {
      reports.push_back({entry, done, total});
    };
  }
  Progress progress(std::move(listener), nullptr);
  const bool answer = call::guarded([&] { return call.work(progress); });
  for (const BackgroundRun::Report& report : reports) {
    if (!*state) *state = serve_report(call, report);
  }
  return answer;
}

// False with `*failure` set when the call ended for a reason of the object's
// (a fork, a close) rather than the archive's.
bool run_on_own_thread(ParvoxObject* object, const Call& call, bool has_block, int* state,
                       std::string* failure) {
  BackgroundRun* run = new (std::nothrow) BackgroundRun(has_block);
  if (run && object->io) object->io->begin(run);
  if (!run || !run->start(call.work)) {
    if (object->io) object->io->stop();
    delete run;
    if (call.feed) {
      *failure = "no thread could be started for the call";
      return false;
    }
    // No thread to be had: the work is done here, as a plain blocking call.
    return run_here(call, has_block, state);
  }
  object->running = run;
  if (call.feed) {
    *state = call.feed(run);
    if (*state && still_running(object, run)) {
      if (object->io) object->io->stop();
      run->stop();
    }
  }
  // The feed may have closed the object, which ended the work.
  if (still_running(object, run)) serve_until_finished(object, call, run, state);
  if (!object->owned_by_this_process()) {
    // A child forked meanwhile: the work's thread is the parent's alone, and
    // so is everything of it. The child leaves it be.
    *failure = "the call was forked away from the process that made the object";
    return false;
  }
  if (object->running != run) {
    *failure = kClosedWhileRunning;
    return false;
  }
  object->running = nullptr;
  const bool answer = run->finish();
  delete run;
  return answer;
}

// Serves what the call left for the IO. False, with the reason in
// last_error, when the IO failed meanwhile. An exception on the way takes the
// entries whose bytes had not all left back out of the archive: the call
// did not add them, and says so unless it had a reason already.
bool end_io(ParvoxObject* object, int* state) {
  std::string failure;
  const bool ended = object->io->end(&failure, state);
  if (!ended) {
    object->failure_kind = object->writer ? failures::Kind::write_failed : failures::Kind::read_failed;
  }
  if (!ended && object->writer) {
    object->writer->note_stream_failure();
    failure = object->writer->last_error();
  }
  if (!ended) object->last_error = failure;
  if (*state && object->writer && object->writer->take_back_undelivered() &&
      object->last_error.empty()) {
    object->last_error = object->writer->last_error();
  }
  return ended;
}

// Where a fiber keeps its noted failure (Thread#[] is the fiber's).
ID noted_failure_key() { return rb_intern("__parvox_failure"); }

}  // namespace

namespace call {

bool run(ParvoxObject* object, const Call& call, const std::string& reason,
         const failures::Kind& kind, bool has_block, int* state) noexcept {
  try {
    object->last_error.clear();
    object->failure_kind = failures::Kind::other;
    // An IO is served by this thread while the work runs on its own.
    const bool here =
        call.runs_here && !call.feed && !(object->io && object->io->serves_calls());
    std::string failure;
    bool answer = here ? run_here(call, has_block, state)
                       : run_on_own_thread(object, call, has_block, state, &failure);
    // A call refused meanwhile (from the block, a signal handler) left its
    // own reason in last_error: what stays is this call's outcome.
    object->failure_kind = failures::Kind::other;
    if (answer) {
      object->last_error.clear();
    } else if (!failure.empty()) {
      object->last_error = failure;
    } else if (!object->reader && !object->writer) {
      // The block closed the object once the work was done here: `reason`
      // went with its archive.
      object->last_error = kClosedWhileRunning;
    } else {
      object->last_error = reason;
      object->failure_kind = kind;
    }
    if (object->io && object->owned_by_this_process()) answer = end_io(object, state) && answer;
    return answer;
  } catch (...) {
    try {
      object->last_error = "out of memory";
    } catch (...) {
    }
    return false;
  }
}

bool wait_on_work(ParvoxObject* object, BackgroundRun* run, int* state) {
  if (!still_running(object, run)) return false;
  const Event event = wait_for_next_event(run, state);
  if (object->io && still_running(object, run) && !*state) *state = object->io->serve();
  return still_running(object, run) && event != Event::finished;
}

// The Symbol Ruby knows a kind of failure by (Parvox::Error's classes are
// chosen by it).
VALUE kind_symbol(failures::Kind kind) {
  switch (kind) {
    case failures::Kind::not_archive: return ID2SYM(rb_intern("not_archive"));
    case failures::Kind::password: return ID2SYM(rb_intern("password"));
    case failures::Kind::no_entry: return ID2SYM(rb_intern("no_entry"));
    case failures::Kind::damaged: return ID2SYM(rb_intern("damaged"));
    case failures::Kind::unsafe: return ID2SYM(rb_intern("unsafe"));
    case failures::Kind::invalid_name: return ID2SYM(rb_intern("invalid_name"));
    case failures::Kind::read_failed: return ID2SYM(rb_intern("read_failed"));
    case failures::Kind::write_failed: return ID2SYM(rb_intern("write_failed"));
    case failures::Kind::unsupported: return ID2SYM(rb_intern("unsupported"));
    case failures::Kind::busy: return ID2SYM(rb_intern("busy"));
    case failures::Kind::other: break;
  }
  return ID2SYM(rb_intern("other"));
}

void note_failure(const ParvoxObject& object) {
  VALUE failure = Qnil;
  if (!object.last_error.empty()) {
    failure = rb_assoc_new(kind_symbol(object.failure_kind), ruby_strings::reason_string(object.last_error));
  }
  rb_thread_local_aset(rb_thread_current(), noted_failure_key(), failure);
}

VALUE noted_failure() { return rb_thread_local_aref(rb_thread_current(), noted_failure_key()); }

ArchiveWriter* writer_for_adding(ParvoxObject& object) {
  if (object.writer) return object.writer.get();
  object.failure_kind = failures::Kind::other;
  object.last_error = object.reader ? "entries are added only to an archive made by new; "
                                      "this one was opened by load"
                                    : "the archive is closed";
  return nullptr;
}

ArchiveReader* reader_for_reading(ParvoxObject& object) {
  if (object.reader) return object.reader.get();
  object.failure_kind = failures::Kind::other;
  object.last_error = object.writer ? "entries are read only from an archive opened by load; "
                                      "this one was made by new"
                                    : "the archive is closed";
  return nullptr;
}

}  // namespace call
