// The routes a run can take, behind one door: the sweep engine of the series, the block engine
// for runs with a checkpoint file, and the direct route for runs without one. Every route ends
// with the same bytes; which one runs is decided here alone.
#pragma once

#include <cstdint>

#include "app/options.h"
#include "numbers/calc_state.h"
#include "output/result_writer.h"
#include "series/series.h"
#if defined(TINDERMOSS_HAVE_GMP_ROUTES)
#include "block_engine/block_engine.h"
#include "direct_route/direct_root.h"
#endif

// LITERAL_LOOP: the series one term at a time, where the sweep engine's copy of the numbers does
// not fit.
enum class RouteKind { LITERAL_LOOP, SWEEP_ENGINE, BLOCK_ENGINE, DIRECT };

struct Route {
  CalcState state;  // the run's layout and, for the series, its state (what a checkpoint holds)
  RouteKind kind = RouteKind::SWEEP_ENGINE;
  std::uint64_t memory_room = 0;  // what the process could still take at the start
#if defined(TINDERMOSS_HAVE_GMP_ROUTES)
  DirectRoot direct;
  BlockEngine block_engine;
#endif
};

// How a computation ended. INTERRUPTED leaves the state to save in the route's `state`.
enum class RouteOutcome { COMPLETED, INTERRUPTED, LIMIT, NO_MEMORY };

struct RouteResult {
  RouteOutcome outcome = RouteOutcome::COMPLETED;
  ResultDigits digits;            // COMPLETED: the digits and their layout
  std::uint32_t final_index = 0;  // COMPLETED: the index of the series' first zero term
  std::uint64_t elapsed_ms = 0;   // COMPLETED: the computing time, earlier runs included
};

// A fresh start, or a resume from the -r file when no digit count is given (a -r file that cannot
// be opened means a run of one digit position), and the route for it: the quickest whose modelled
// peak fits in the memory the process can still take (memory_available()): the direct route for
// a fresh run without a checkpoint file, the block engine, the sweep engine, the literal loop.
// Returns false after writing why the run cannot go on (a refused checkpoint, or no memory for
// any route).
bool set_up_route(const RunSettings& settings, Route* route);

// Computes on the route chosen, polling `control.stop_requested` (keys and stop signals, which
// the caller watches until the result is handled) and reporting the term's first non-zero word
// to `control.progress`; the state's last_clock must have been read just before. A completed
// series is scaled to sqrt(2) here. The digits of a COMPLETED result stay valid until
// release_route.
RouteResult compute_route(Route* route, const SeriesControl& control);

// Gives back everything the route holds; safe after any outcome.
void release_route(Route* route);
