// Parvox#add_file, Parvox#unzip_file and Parvox#unzip_all.
//
// Each runs its native work on a thread of its own (BackgroundRun) while the
// calling Ruby thread waits without the global lock, so other Ruby threads
// run meanwhile. The waiting thread wakes for interrupts and for progress
// reports: it runs the block, if one was given, and lets Ruby deliver pending
// interrupts. An exception from either (or a `break`) asks the work to stop;
// once the work has ended and every C++ object here is gone, the exception
// goes on to the caller unchanged.
#include "ext/methods.h"  // ruby.h first: Ruby 2.7's ruby/thread.h needs it

#include <ruby/thread.h>

#include "ext/background_run.h"
#include "ext/ruby_boundary.h"
#include "ext/string_conversion.h"

namespace {

using Event = BackgroundRun::Event;

// What an operation needs from Ruby, taken before it starts.
struct OperationRequest {
  NativeArchive* archive;
  const VALUE* args;
  bool has_block;
  // Builds the native work from the (checked) arguments; may throw.
  BackgroundRun::Work (*make_work)(NativeArchive* archive, const VALUE* args);
  // Whether the operation answers without real work (a name that is not in
  // the archive), so a thread of its own would cost more than the work; may
  // be null.
  bool (*answers_at_once)(NativeArchive* archive, const VALUE* args);
};

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
// interrupts on the way in and out; an exception they raise is caught into
// `*state` (the event is then `woken`).
Event wait_for_next_event(BackgroundRun& run, int* state) {
  WaitRequest request{&run, Event::woken};
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
int run_block(const BackgroundRun::Report& report) {
  const std::string entry = native_name_to_utf8(report.entry.c_str());
  ProgressCall call{entry.c_str(), report.done, report.total};
  int state = 0;
  rb_protect(yield_progress, reinterpret_cast<VALUE>(&call), &state);
  return state;
}

// Waits for the work to end, serving its reports and Ruby's interrupts. After
// the first exception the work is asked to stop; waiting then goes on until
// it has, and a later exception takes the place of an earlier one.
void serve_until_finished(BackgroundRun& run, bool has_block, int* state) {
  for (;;) {
    const Event event = wait_for_next_event(run, state);
    if (event == Event::finished) return;
    if (event == Event::report) {
      if (!*state && has_block) *state = run_block(run.report());
      if (*state) {
        run.stop();
      } else {
        run.resume();
      }
    } else if (*state) {
      run.stop();
    }
  }
}

// Runs the operation while this object's lock is held; the answer is true or
// false, or an exception is re-raised once the native side has unwound.
VALUE run_operation(VALUE address) {
  const auto* request = reinterpret_cast<const OperationRequest*>(address);
  int state = 0;
  bool answer = false;
  {
    BackgroundRun::Work work;
    bool at_once = false;
    const bool built = guarded([&] {
      work = request->make_work(request->archive, request->args);
      at_once = request->answers_at_once &&
                request->answers_at_once(request->archive, request->args);
      return true;
    });
    if (built && at_once) {
      answer = guarded([&] { return work(no_progress()); });
    } else if (built) {
      BackgroundRun run(request->has_block);
      if (run.start(work)) {
        serve_until_finished(run, request->has_block, &state);
        answer = run.finish();
      } else {
        // No thread to be had: do the work here, as a plain blocking call.
        answer = guarded([&] { return work(no_progress()); });
      }
    }
  }
  if (state) rb_jump_tag(state);
  return bool_value(answer);
}

VALUE run_locked(VALUE self, NativeArchive* archive, const VALUE* args,
                 BackgroundRun::Work (*make_work)(NativeArchive*, const VALUE*),
                 bool (*answers_at_once)(NativeArchive*, const VALUE*) = nullptr) {
  OperationRequest request{archive, args, rb_block_given_p() != 0, make_work, answers_at_once};
  return with_archive_lock(self, run_operation, reinterpret_cast<VALUE>(&request), Qfalse);
}

BackgroundRun::Work add_file_work(NativeArchive* archive, const VALUE* args) {
  return [archive, source = name_argument(args[0]), name = name_argument(args[1]),
          folder = switch_on(args[2]), recursive = switch_on(args[3])](Progress& progress) {
    return archive->add_file(source, name, folder, recursive, progress);
  };
}

BackgroundRun::Work unzip_file_work(NativeArchive* archive, const VALUE* args) {
  return [archive, name = name_argument(args[0]),
          target = name_argument(args[1])](Progress& progress) {
    return archive->unzip_file(name, target, progress);
  };
}

bool unzip_file_answers_at_once(NativeArchive* archive, const VALUE* args) {
  return archive->unzip_file_answers_at_once(ansi_argument(args[0]));
}

BackgroundRun::Work unzip_all_work(NativeArchive* archive, const VALUE* args) {
  return [archive, folder = name_argument(args[0])](Progress& progress) {
    return archive->unzip_all(folder, progress);
  };
}

}  // namespace

VALUE parvox_add_file(VALUE self, VALUE source, VALUE name, VALUE folder, VALUE recursive) {
  NativeArchive* archive = get_archive(self);
  check_string(source);
  check_string(name);
  const VALUE args[] = {source, name, folder, recursive};
  return run_locked(self, archive, args, add_file_work);
}

VALUE parvox_unzip_file(VALUE self, VALUE name, VALUE target) {
  NativeArchive* archive = get_archive(self);
  check_string(name);
  check_string(target);
  const VALUE args[] = {name, target};
  return run_locked(self, archive, args, unzip_file_work, unzip_file_answers_at_once);
}

VALUE parvox_unzip_all(VALUE self, VALUE folder) {
  NativeArchive* archive = get_archive(self);
  check_string(folder);
  const VALUE args[] = {folder};
  return run_locked(self, archive, args, unzip_all_work);
}
