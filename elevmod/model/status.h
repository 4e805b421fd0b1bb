// How `elevmod status` shows a snapshot: as text with a drawing of the shaft,
// or as one JSON object for scripts.
#pragma once

#include <cstddef>
#include <string>

#include "model/elevator.h"

namespace elevmod {

// The figures, one per line, then the shaft from the top floor down: the car
// as [n] with n passengers aboard and ^ or v while it goes up or down, and
// each floor's waiting count with a bar scaled to the busiest floor.  At
// most 20 lines, or max_lines: then the first three figures stay, the
// others make room for the shaft, which shows the floors nearest the car
// that fit (where none fit, the figures that do); and at most 61 columns,
// or one less than max_columns: the bars shorten, then lines are cut, so
// that nothing wraps on a terminal of that size.
std::string render_text(const Snapshot& s, size_t max_lines = 20,
                        size_t max_columns = 80);

// The same figures as one JSON object on one line, ending in a newline.
std::string render_json(const Snapshot& s);

}  // namespace elevmod
