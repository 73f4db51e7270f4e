// Parvox#add_file, Parvox#unzip_file, Parvox#read and Parvox#unzip_all, and
// reading the central directory for Parvox#entries.
//
// Each runs its native work on a thread of its own (BackgroundRun) while the
// calling Ruby thread waits without the global lock, so other Ruby threads
// run meanwhile; small work (an entry of a few KiB once the directory is
// read) runs on the calling thread instead, where a thread start and
// hand-over would cost more than the work. The waiting thread wakes for interrupts and for progress
// reports: it runs the block, if one was given, and lets Ruby deliver pending
// interrupts. An exception from either (or a `break`) asks the work to stop;
// once the work has ended and every C++ object here is gone, the exception
// goes on to the caller unchanged.
#include "ext/methods.h"  // ruby.h first: Ruby 2.7's ruby/thread.h needs it

#include <ruby/thread.h>

#include <algorithm>
#include <memory>

#include "ext/background_run.h"
#include "ext/ruby_boundary.h"
#include "ext/string_conversion.h"

namespace {

using Event = BackgroundRun::Event;

// Collects an entry's data for Parvox#read: whole, or in chunks of at most
// kChunkBytes that the waiting side hands to the block as each fills, so
// memory stays bounded by one chunk.
class ReadSink final : public EntrySink {
 public:
  static constexpr size_t kChunkBytes = 4 << 20;

  explicit ReadSink(bool in_chunks) : in_chunks_(in_chunks) {}
  // Chunks are handed over through the work's progress: a report while a
  // chunk is ready waits until the block has had it.
  void deliver_through(Progress* progress) { progress_ = progress; }

  bool take(const char* data, size_t size, std::string* reason) override {
    while (size > 0) {
      if (in_chunks_ && buffer_.size() == kChunkBytes && !deliver(reason)) return false;
      const size_t n = in_chunks_ ? std::min(size, kChunkBytes - buffer_.size()) : size;
      buffer_.append(data, n);
      data += n;
      size -= n;
    }
    return true;
  }
  bool finish(std::string* reason) override {
    return !in_chunks_ || buffer_.empty() || deliver(reason);
  }

  bool in_chunks() const { return in_chunks_; }
  // The chunk waiting for the block (while has_chunk()), or the whole data.
  bool has_chunk() const { return chunk_ready_; }
  const std::string& data() const { return buffer_; }

 private:
  bool deliver(std::string* reason) {
    chunk_ready_ = true;
    const bool go_on = progress_->report(std::string(), 0, -1);
    chunk_ready_ = false;
    buffer_.clear();
    if (!go_on) *reason = "stopped while the entry was read";
    return go_on;
  }

  const bool in_chunks_;
  Progress* progress_ = &no_progress();
  std::string buffer_;
  bool chunk_ready_ = false;
};

// What an operation needs from Ruby, taken before it starts.
struct OperationRequest {
  NativeArchive* archive;
  const VALUE* args;
  bool has_block;
  // Builds the native work from the (checked) arguments; may throw.
  BackgroundRun::Work (*make_work)(NativeArchive* archive, const VALUE* args, ReadSink* sink);
  // Whether the work is small enough to run on the calling thread; may be null.
  bool (*is_small)(NativeArchive* archive, const VALUE* args);
  // Parvox#read: its data goes to a ReadSink, whole or in chunks for the block.
  bool reads;
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

VALUE yield_chunk(VALUE address) {
  const auto* chunk = reinterpret_cast<const std::string*>(address);
  return rb_yield(rb_str_new(chunk->data(), static_cast<long>(chunk->size())));
}

// Serves a report of the work: hands a ready chunk of a read to the block, or
// runs the progress block; answers the state of any exception or break.
int serve_report(const OperationRequest& request, const ReadSink* sink,
                 const BackgroundRun::Report& report) {
  int state = 0;
  if (sink) {
    if (sink->has_chunk()) {
      rb_protect(yield_chunk, reinterpret_cast<VALUE>(&sink->data()), &state);
    }
    return state;
  }
  if (!request.has_block) return 0;
  const std::string entry = native_name_to_utf8(report.entry.c_str());
  ProgressCall call{entry.c_str(), report.done, report.total};
  rb_protect(yield_progress, reinterpret_cast<VALUE>(&call), &state);
  return state;
}

// Waits for the work to end, serving its reports and Ruby's interrupts. After
// the first exception the work is asked to stop; waiting then goes on until
// it has, and a later exception takes the place of an earlier one.
void serve_until_finished(BackgroundRun& run, const OperationRequest& request,
                          const ReadSink* sink, int* state) {
  for (;;) {
    const Event event = wait_for_next_event(run, state);
    if (event == Event::finished) return;
    if (event == Event::report) {
      if (!*state) *state = serve_report(request, sink, run.report());
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

// Progress of work running on the calling thread, which holds the global
// lock: reports are served on the spot, and Ruby's pending interrupts are
// let in at each one.
class InlineProgress final : public Progress {
 public:
  InlineProgress(const OperationRequest& request, const ReadSink* sink)
      : request_(request), sink_(sink) {}
  bool report(const std::string& entry, int64_t done, int64_t total) override {
    if (!state_) state_ = serve_report(request_, sink_, {entry, done, total});
    if (!state_) rb_protect(check_interrupts, Qnil, &state_);
    return state_ == 0;
  }
  bool wants_reports() const override { return request_.has_block; }
  int state() const { return state_; }

 private:
  static VALUE check_interrupts(VALUE) {
    rb_thread_check_ints();
    return Qnil;
  }
  const OperationRequest& request_;
  const ReadSink* sink_;
  int state_ = 0;
};

VALUE new_binary_string(VALUE address) {
  const auto* data = reinterpret_cast<const std::string*>(address);
  return rb_str_new(data->data(), static_cast<long>(data->size()));
}

// Runs the operation while this object's lock is held; the answer is true or
// false (a read without a block: the data or nil), or an exception is
// re-raised once the native side has unwound.
VALUE run_operation(VALUE address) {
  const auto* request = reinterpret_cast<const OperationRequest*>(address);
  int state = 0;
  VALUE result = Qnil;
  {
    std::unique_ptr<ReadSink> sink;
    BackgroundRun::Work work;
    bool small = false;
    const bool built = guarded([&] {
      if (request->reads) sink.reset(new ReadSink(request->has_block));
      work = request->make_work(request->archive, request->args, sink.get());
      small = request->is_small && request->is_small(request->archive, request->args);
      return true;
    });
    bool answer = false;
    if (built && small) {
      InlineProgress progress(*request, sink.get());
      answer = guarded([&] { return work(progress); });
      state = progress.state();
    } else if (built) {
      BackgroundRun run(request->has_block);
      if (run.start(work)) {
        serve_until_finished(run, *request, sink.get(), &state);
        answer = run.finish();
      } else {
        // No thread to be had: do the work here, as a plain blocking call.
        InlineProgress progress(*request, sink.get());
        answer = guarded([&] { return work(progress); });
        state = progress.state();
      }
    }
    result = bool_value(answer);
    if (sink && !sink->in_chunks()) {
      result = answer && !state ? rb_protect(new_binary_string, reinterpret_cast<VALUE>(&sink->data()), &state)
                                : Qnil;
    }
  }
  if (state) rb_jump_tag(state);
  return result;
}

VALUE run_locked(VALUE self, NativeArchive* archive, const VALUE* args,
                 BackgroundRun::Work (*make_work)(NativeArchive*, const VALUE*, ReadSink*),
                 bool (*is_small)(NativeArchive*, const VALUE*) = nullptr, bool reads = false,
                 bool has_block = rb_block_given_p() != 0) {
  OperationRequest request{archive, args, has_block, make_work, is_small, reads};
  const VALUE busy = reads && !has_block ? Qnil : Qfalse;
  return with_archive_lock(self, run_operation, reinterpret_cast<VALUE>(&request), busy);
}

BackgroundRun::Work add_file_work(NativeArchive* archive, const VALUE* args, ReadSink*) {
  return [archive, source = name_argument(args[0]), name = name_argument(args[1]),
          folder = switch_on(args[2]), recursive = switch_on(args[3])](Progress& progress) {
    return archive->add_file(source, name, folder, recursive, progress);
  };
}

BackgroundRun::Work unzip_file_work(NativeArchive* archive, const VALUE* args, ReadSink*) {
  return [archive, name = name_argument(args[0]),
          target = name_argument(args[1])](Progress& progress) {
    return archive->unzip_file(name, target, progress);
  };
}

bool is_small_read(NativeArchive* archive, const VALUE* args) {
  return archive->is_small_read(name_argument(args[0]));
}

BackgroundRun::Work read_work(NativeArchive* archive, const VALUE* args, ReadSink* sink) {
  return [archive, name = name_argument(args[0]), sink](Progress& progress) {
    sink->deliver_through(&progress);
    return archive->read_entry(name, *sink, progress);
  };
}

BackgroundRun::Work directory_work(NativeArchive* archive, const VALUE*, ReadSink*) {
  return [archive](Progress&) { return archive->directory() != nullptr; };
}

bool has_directory(NativeArchive* archive, const VALUE*) { return archive->has_directory(); }

BackgroundRun::Work unzip_all_work(NativeArchive* archive, const VALUE* args, ReadSink*) {
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
  return run_locked(self, archive, args, unzip_file_work, is_small_read);
}

VALUE parvox_unzip_all(VALUE self, VALUE folder) {
  NativeArchive* archive = get_archive(self);
  check_string(folder);
  const VALUE args[] = {folder};
  return run_locked(self, archive, args, unzip_all_work);
}

VALUE parvox_read(VALUE self, VALUE name) {
  NativeArchive* archive = get_archive(self);
  check_string(name);
  const VALUE args[] = {name};
  return run_locked(self, archive, args, read_work, is_small_read, true);
}

bool read_directory(VALUE self) {
  NativeArchive* archive = get_archive(self);
  return RTEST(run_locked(self, archive, nullptr, directory_work, has_directory, false, false));
}
