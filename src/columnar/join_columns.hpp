// Joining columns read in parts: events read as consecutive runs, each into
// columns of its own, become one set of columns, as if every event had been
// appended to the first run's.
#pragma once

#include <span>

#include "columnar/event_columns.hpp"

namespace vintrel::columnar {

// Appends the events and failures of `parts`, in order, to `into` (all of
// one board's columns), shifting the parts' offsets past what precedes them.
// The first part's memory stays in place: only the others are copied, in
// pieces spread over the worker pool. The parts are left empty, their
// memory returned. Throws std::bad_alloc when the room cannot be had.
void append_parts(EventColumns& into, std::span<EventColumns> parts);

}  // namespace vintrel::columnar
