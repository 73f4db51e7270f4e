// Parvox::EntryReader, what Parvox#open_entry answers: one entry of a loaded
// archive read as an IO, its data decoded piece by piece as it is read.
//
// Each piece is fetched as a call on the archive (call.h), claimed for that
// fetch only: other calls on the archive interleave between reads, and two
// threads reading one EntryReader take turns. The archive closes every
// EntryReader of its own before its reader goes (close, the collector, a
// forked child letting go); their reads raise IOError from then on.
#pragma once

#include <ruby.h>

struct ParvoxObject;

// The native state of one EntryReader (entry_reader.cpp).
struct OpenEntry;

namespace entry_reader {

// Defines Parvox::EntryReader under the class `parvox`, and the private
// Parvox#open_entry_reader that makes one (Parvox#open_entry, face.rb).
void define_class(VALUE parvox);
// Closes every EntryReader open on `object`, before its archive goes. Any
// call fetching for one of them has ended. Never calls Ruby.
void close_all(ParvoxObject& object) noexcept;

}  // namespace entry_reader
