// Parvox::EntryWriter: write, <<, close and closed?; the rest of what makes
// it IO-like (print, puts, printf, flush) is in lib/parvox/entry_writer.rb.
#include "ext/entry_writer.h"

#include "ext/call.h"
#include "ext/parvox_object.h"

namespace {

struct EntryWriting {
  VALUE archive = Qnil;
  ParvoxObject* object = nullptr;
  std::shared_ptr<EntryPipe> pipe = std::make_shared<EntryPipe>();
  // The work taking the data while the block runs, which may end (a close)
  // before the block does: only ever compared with the object's running work
  // until it is known to be that.
  BackgroundRun* run = nullptr;
  bool closed = true;
  // The sink itself, which marks the IOErrors its writes raise once the work
  // has ended.
  VALUE sink = Qnil;
};

void mark_writing(void* data) {
  const auto* writing = static_cast<const EntryWriting*>(data);
  if (!writing) return;
  rb_gc_mark(writing->archive);
}

void free_writing(void* data) { delete static_cast<EntryWriting*>(data); }

size_t writing_size(const void*) { return sizeof(EntryWriting) + sizeof(EntryPipe); }

const rb_data_type_t kWritingType = {
    "Parvox::EntryWriter",
    {mark_writing, free_writing, writing_size, nullptr, {nullptr}},
    nullptr,
    nullptr,
    RUBY_TYPED_FREE_IMMEDIATELY,
};

VALUE writer_class = Qnil;

EntryWriting* writing_of(VALUE sink) {
  auto* writing = static_cast<EntryWriting*>(rb_check_typeddata(sink, &kWritingType));
  if (!writing) rb_raise(rb_eIOError, "closed stream");
  return writing;
}

bool work_runs(const EntryWriting& writing) {
  return writing.object->running == writing.run && writing.object->owned_by_this_process();
}

// An instance variable Ruby code cannot see (no '@'), as Exception#cause's.
ID ended_by_id() { return rb_intern("__parvox_ended_by"); }

// Raises the IOError the call knows for its own: the work has ended (a
// failure, the archive closed), and the entry can take no more data. Every
// one raised is known, not only the last: a block may rescue a later one
// (a trailer written in an ensure) and go on with an earlier.
[[noreturn]] void raise_ended(EntryWriting* writing) {
  VALUE ended = rb_exc_new_cstr(rb_eIOError,
                                "the entry can take no more data: the archive's work on it "
                                "has ended (write_entry answers why)");
  rb_ivar_set(ended, ended_by_id(), writing->sink);
  rb_exc_raise(ended);
}

// `error` is what rb_errinfo() holds after a jump: for a break or a throw,
// no exception at all.
bool raised_once_ended(VALUE error, VALUE sink) {
  return RB_TYPE_P(error, T_OBJECT) && rb_obj_is_kind_of(error, rb_eIOError) &&
         rb_attr_get(error, ended_by_id()) == sink;
}

// Raises unless the block of this thread's write_entry call may write now.
void check_writable(EntryWriting* writing) {
  if (writing->closed) rb_raise(rb_eIOError, "closed stream");
  if (!writing->object->owned_by_this_process()) {
    rb_raise(rb_eIOError, "the entry is written by the process the archive belongs to, "
                          "not by one forked from it");
  }
  if (!work_runs(*writing)) raise_ended(writing);
  if (!writing->object->held_by_this_thread()) {
    rb_raise(rb_eIOError, "an entry is written only by the thread running its write_entry block");
  }
  // The IO is in the middle of a block of the archive's bytes: what this
  // write hands over would leave ahead of the rest of that block.
  if (writing->object->io && writing->object->io->serving()) {
    rb_raise(rb_eIOError, "an entry is not written from the archive's IO's own methods "
                          "(or a signal handler run while the IO is written)");
  }
}

// Waits for the work to take a chunk, serving the archive's IO meanwhile.
void wait_for_room(EntryWriting* writing) {
  int state = 0;
  const bool runs = call::wait_on_work(writing->object, writing->run, &state);
  if (state) rb_jump_tag(state);
  if (!runs) raise_ended(writing);
}

// Puts all of `data` (a String) into the pipe. Before the first wait for
// room, it is set aside as a frozen String that no other thread can change
// meanwhile; after each wait its bytes are found anew (a compacting GC may
// have moved them).
void put_all(EntryWriting* writing, VALUE data) {
  VALUE bytes = data;
  const long size = RSTRING_LEN(bytes);
  long done = 0;
  while (done < size) {
    check_writable(writing);
    const size_t chunks_before = writing->pipe->handed_over();
    done += static_cast<long>(
        writing->pipe->put(RSTRING_PTR(bytes) + done, static_cast<size_t>(size - done)));
    if (done < size) {
      if (bytes == data) bytes = rb_str_new_frozen(data);
      wait_for_room(writing);
    } else if (writing->object->io && writing->pipe->handed_over() != chunks_before) {
      // Into an IO, what the work made of the data so far leaves now, not
      // only once the maker outruns it.
      const int state = writing->object->io->serve();
      if (state) rb_jump_tag(state);
    }
  }
  RB_GC_GUARD(bytes);
}

// call-seq: io.write(object, ...) -> integer
//
// Writes each object's to_s, as IO#write does; answers the bytes written.
VALUE writer_write(int argc, VALUE* argv, VALUE self) {
  EntryWriting* writing = writing_of(self);
  long written = 0;
  for (int i = 0; i < argc; ++i) {
    VALUE data = rb_obj_as_string(argv[i]);
    put_all(writing, data);
    written += RSTRING_LEN(data);
    RB_GC_GUARD(data);
  }
  return LONG2NUM(written);
}

// call-seq: io << object -> io
VALUE writer_append(VALUE self, VALUE object) {
  put_all(writing_of(self), rb_obj_as_string(object));
  return self;
}

// call-seq: io.close -> nil
//
// Takes no more data; the entry itself ends with write_entry's block.
VALUE writer_close(VALUE self) {
  writing_of(self)->closed = true;
  return Qnil;
}

// call-seq: io.closed? -> true or false
VALUE writer_closed_p(VALUE self) { return writing_of(self)->closed ? Qtrue : Qfalse; }

VALUE yield_sink(VALUE sink) { return rb_yield(sink); }

}  // namespace

namespace entry_writer {

void define_class(VALUE parvox) {
  writer_class = rb_define_class_under(parvox, "EntryWriter", rb_cObject);
  rb_gc_register_address(&writer_class);
  rb_undef_alloc_func(writer_class);
  rb_define_method(writer_class, "write", RUBY_METHOD_FUNC(writer_write), -1);
  rb_define_method(writer_class, "<<", RUBY_METHOD_FUNC(writer_append), 1);
  rb_define_method(writer_class, "close", RUBY_METHOD_FUNC(writer_close), 0);
  rb_define_method(writer_class, "closed?", RUBY_METHOD_FUNC(writer_closed_p), 0);
}

VALUE make(VALUE archive) {
  ParvoxObject* object = parvox_object::of(archive);
  // Wrapped first, so that nothing is lost should wrapping raise.
  VALUE sink = TypedData_Wrap_Struct(writer_class, &kWritingType, nullptr);
  EntryWriting* writing = nullptr;
  try {
    writing = new EntryWriting;
  } catch (...) {
  }
  if (!writing) rb_memerror();
  writing->archive = archive;
  writing->object = object;
  writing->sink = sink;
  RTYPEDDATA_DATA(sink) = writing;
  return sink;
}

std::shared_ptr<EntryPipe> pipe_of(VALUE sink) { return writing_of(sink)->pipe; }

int feed(VALUE sink, BackgroundRun* run) {
  EntryWriting* writing = writing_of(sink);
  writing->run = run;
  writing->closed = false;
  writing->pipe->on_room([run] { run->wake(); });
  int state = 0;
  rb_protect(yield_sink, sink, &state);
  writing->closed = true;
  if (state && raised_once_ended(rb_errinfo(), sink)) {
    rb_set_errinfo(Qnil);
    state = 0;
  }
  // In a forked child the pipe's lock may be held by a thread of the
  // parent's; the work is not this process's to end.
  if (!state && work_runs(*writing)) writing->pipe->close();
  return state;
}

}  // namespace entry_writer
