#include "ext/parvox_object.h"

#include <ruby/thread.h>

#include "ext/entry_reader.h"
#include "fsutil/process.h"

namespace {

VALUE lock_probe(VALUE mutex) {
  rb_mutex_lock(mutex);
  return rb_mutex_unlock(mutex);
}

// Ruby refuses to lock a Mutex inside a signal handler (a `trap` block),
// which is how a handler can be told from other code.
bool in_signal_handler() {
  int state = 0;
  rb_protect(lock_probe, rb_mutex_new(), &state);
  if (state) rb_set_errinfo(Qnil);
  return state != 0;
}

void* wait_until_idle(void* address) {
  auto* object = static_cast<ParvoxObject*>(address);
  std::unique_lock<fsutil::Mutex> lock(object->idle_lock);
  object->idle.wait_for(lock, BackgroundRun::kPollInterval,
                        [object] { return !object->held || object->woken; });
  object->woken = false;
  return nullptr;
}

void wake_waiter(void* address) {
  auto* object = static_cast<ParvoxObject*>(address);
  std::lock_guard<fsutil::Mutex> lock(object->idle_lock);
  object->woken = true;
  object->idle.notify_all();
}

void set_held(ParvoxObject* object, bool held) {
  std::lock_guard<fsutil::Mutex> lock(object->idle_lock);
  object->held = held;
  if (!held) object->idle.notify_all();
}

uint64_t refuse(ParvoxObject* object, const char* reason,
               failures::Kind kind = failures::Kind::other) noexcept {
  try {
    object->last_error = reason;
    object->failure_kind = kind;
  } catch (...) {
  }
  return 0;
}

uint64_t take(ParvoxObject* object) {
  object->holder = rb_thread_current();
  set_held(object, true);
  return ++object->claims;
}

void close_work_of_ended_thread(ParvoxObject* object) {
  parvox_object::stop_running_work(object);
  object->holder = Qnil;
  set_held(object, false);
}

uint64_t wait_and_take(ParvoxObject* object, bool waits_in_signal_handler) {
  int may_wait = waits_in_signal_handler ? 1 : -1;  // -1 until known
  for (;;) {
    if (!object->owned_by_this_process()) {
      return refuse(object, "this Parvox object belongs to the process it was forked from");
    }
    if (NIL_P(object->holder)) return take(object);
    if (!RTEST(rb_funcall(object->holder, rb_intern("alive?"), 0))) {
      // The holding call was left suspended in a fiber of a thread that has
      // ended since: nothing will ever resume it.
      close_work_of_ended_thread(object);
      continue;
    }
    if (object->held_by_this_thread()) {
      return refuse(object, "the object is busy with a call of this same thread", failures::Kind::busy);
    }
    if (may_wait < 0) may_wait = in_signal_handler() ? 0 : 1;
    if (may_wait == 0) {
      return refuse(object, "the object is busy with another thread's call; "
                            "a signal handler does not wait for it", failures::Kind::busy);
    }
    rb_thread_call_without_gvl(wait_until_idle, object, wake_waiter, object);
    rb_thread_check_ints();
  }
}

void* join_work(void* run) {
  static_cast<BackgroundRun*>(run)->finish();
  return nullptr;
}

void mark_object(void* data) {
  const auto* object = static_cast<ParvoxObject*>(data);
  rb_gc_mark(object->holder);
  if (object->io) object->io->mark();
}

void free_object(void* data) {
  auto* object = static_cast<ParvoxObject*>(data);
  if (!object->owned_by_this_process() && !parvox_object::let_go_in_child(object)) return;
  delete object;
}

size_t object_memsize(const void* data) {
  const auto* object = static_cast<const ParvoxObject*>(data);
  return sizeof(*object) + object->last_error.capacity() +
         (object->writer ? object->writer->memory_size() : 0) +
         (object->reader ? object->reader->memory_size() : 0);
}

// Freeing never calls back into Ruby, so it may run immediately.
const rb_data_type_t parvox_object_type = {
    "Parvox",
    {mark_object, free_object, object_memsize, nullptr, {nullptr}},
    nullptr,
    nullptr,
    RUBY_TYPED_FREE_IMMEDIATELY,
};

struct WrapRequest {
  VALUE klass;
  ParvoxObject* object;
  bool wrapped;  // the Ruby object owns the native one from then on
};

VALUE wrap_object(VALUE request_address) {
  auto* request = reinterpret_cast<WrapRequest*>(request_address);
  VALUE wrapper = TypedData_Wrap_Struct(request->klass, &parvox_object_type, request->object);
  request->wrapped = true;
  return wrapper;
}

}  // namespace

ParvoxObject::ParvoxObject() : owner_process(fsutil::current_process_id()) {}

ParvoxObject::~ParvoxObject() {
  if (io) io->stop();
  delete running;
  entry_reader::close_all(*this);
}

bool ParvoxObject::owned_by_this_process() const {
  return owner_process == fsutil::current_process_id();
}

bool ParvoxObject::held_by_this_thread() const { return holder == rb_thread_current(); }

namespace parvox_object {

ParvoxObject* of(VALUE self) {
  auto* object = static_cast<ParvoxObject*>(rb_check_typeddata(self, &parvox_object_type));
  if (!object) rb_raise(rb_eTypeError, "uninitialized Parvox");
  return object;
}

VALUE wrap(VALUE klass, ParvoxObject* object) {
  WrapRequest request{klass, object, false};
  int state = 0;
  VALUE instance = rb_protect(wrap_object, reinterpret_cast<VALUE>(&request), &state);
  if (state) {
    if (!request.wrapped) delete object;
    rb_jump_tag(state);
  }
  return instance;
}

uint64_t claim(ParvoxObject* object) { return wait_and_take(object, false); }

uint64_t claim_for_close(ParvoxObject* object) { return wait_and_take(object, true); }

void release(ParvoxObject* object, uint64_t claim) {
  if (claim == 0 || claim != object->claims || NIL_P(object->holder)) return;
  object->holder = Qnil;
  set_held(object, false);
}

void stop_running_work(ParvoxObject* object) {
  BackgroundRun* run = object->running;
  if (!run) return;
  if (object->io) object->io->stop();  // the work must not wait for an IO no one serves
  object->running = nullptr;
  run->stop();
  // Once asked to stop, the work ends at its next check; no interrupt is
  // taken meanwhile.
  rb_thread_call_without_gvl(join_work, run, nullptr, nullptr);
  delete run;
}

bool close_object(ParvoxObject* object) {
  stop_running_work(object);
  const bool finished = !object->writer || object->writer->finish();
  if (!finished) {
    try {
      object->last_error = object->writer->last_error();
      object->failure_kind = object->writer->failure_kind();
    } catch (...) {
      object->last_error.clear();
    }
  }
  object->writer.reset();
  entry_reader::close_all(*object);
  object->reader.reset();
  return finished;
}

void let_go(ParvoxObject* object) {
  if (NIL_P(object->holder)) return;
  object->holder = Qnil;
  set_held(object, false);
}

bool let_go_in_child(ParvoxObject* object) {
  if (object->running || !NIL_P(object->holder)) return false;
  if (object->writer) object->writer->abandon();
  object->writer.reset();
  entry_reader::close_all(*object);
  object->reader.reset();
  return true;
}

}  // namespace parvox_object
