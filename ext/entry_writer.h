// Parvox::EntryWriter: what write_entry's block writes an entry's data into,
// an IO-like sink; the data goes to the archive's work as it comes.
#pragma once

#include <ruby.h>

#include <memory>

#include "archive/background_run.h"
#include "archive/write/entry_pipe.h"

namespace entry_writer {

// Defines Parvox::EntryWriter under the class `parvox`.
void define_class(VALUE parvox);
// A new sink for write_entry on the archive `archive`, closed until fed.
VALUE make(VALUE archive);
// The pipe its writes go into, for the work to take them from.
std::shared_ptr<EntryPipe> pipe_of(VALUE sink);
// Runs the block given to write_entry with the sink, while the work `run`
// takes what it writes (the call's feed, see ext/call.h); closes the pipe
// when the block ends, unless it raised. The sink is closed afterwards.
// Answers the state of the block's exception, 0 when it was the one a
// write raised once the work had ended: the call's answer then says why.
int feed(VALUE sink, BackgroundRun* run);

}  // namespace entry_writer
