// The native side of Parvox.update (lib/parvox/update.rb): the new archive
// put together and put in place, and what the face asks of the archive of
// added entries.
#pragma once

#include <ruby.h>

namespace update {

// Defines Parvox's private methods behind Parvox.update.
void define_methods(VALUE parvox);

}  // namespace update
