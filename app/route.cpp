#include "app/route.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

#include "app/messages.h"
#include "checkpoint/checkpoint_file.h"
#include "numbers/digit_positions.h"
#include "platform/available_memory.h"
#include "series/reachable_state.h"
#if defined(TINDERMOSS_HAVE_GMP_ROUTES)
#include "exact_terms/reachable_state_exact.h"
#endif

namespace {

// Whether a loaded state is one a run can have saved; any other would give wrong digits.
bool reachable(const CalcState& state) {
  if (!series_state_plausible(state)) return false;
#if defined(TINDERMOSS_HAVE_GMP_ROUTES)
  if (!series_state_reachable(state)) return false;
#endif
  return true;
}

bool resume(std::FILE* file, std::uint64_t memory_room, CalcState* state) {
  switch (checkpoint_load(file, state, memory_room)) {
    case LoadStatus::LOADED:
      if (reachable(*state)) return true;
      calc_release(state);
      write_message(stderr, MSG_CORRUPT);
      return false;
    case LoadStatus::CORRUPT:
      write_message(stderr, MSG_CORRUPT);
      return false;
    case LoadStatus::NO_MEMORY:
      break;
  }
  write_message(stderr, MSG_NO_MEMORY);
  return false;
}

// The series' numbers of a fresh run, when they fit in the memory there is and can be allocated.
bool start_series_numbers(Route* route) {
  CalcState* state = &route->state;
  return calc_numbers_bytes(words_for_positions(state->positions)) <= route->memory_room &&
         calc_start_fresh(state, state->positions, state->format, state->print_lead);
}

// The memory left beside the series' numbers.
std::uint64_t room_beside_numbers(const Route& route) {
  const std::uint64_t numbers = calc_numbers_bytes(route.state.word_count);
  return route.memory_room > numbers ? route.memory_room - numbers : 0;
}

// The sweep engine when its copy of the numbers fits beside them; the literal loop otherwise.
RouteKind portable_engine_for(const Route& route) {
  return sweep_engine_bytes(route.state.word_count) > room_beside_numbers(route)
             ? RouteKind::LITERAL_LOOP
             : RouteKind::SWEEP_ENGINE;
}

// For the series' allocated state: the block engine when the run is large enough and its memory
// is there beside the state's numbers; the portable engines otherwise.
RouteKind series_engine_for(Route* route) {
#if defined(TINDERMOSS_HAVE_GMP_ROUTES)
  if (route->state.positions >= BLOCK_ENGINE_MIN_POSITIONS &&
      start_block_engine(route->state, room_beside_numbers(*route), &route->block_engine)) {
    return RouteKind::BLOCK_ENGINE;
  }
#endif
  return portable_engine_for(*route);
}

// The direct route for a fresh run without a checkpoint file, when it is decided and its memory
// is there.
bool direct_route_taken(std::uint32_t positions, Route* route) {
#if defined(TINDERMOSS_HAVE_GMP_ROUTES)
  return start_direct_root(positions, route->memory_room, &route->direct);
#else
  (void)positions;
  (void)route;
  return false;
#endif
}

#if defined(TINDERMOSS_HAVE_GMP_ROUTES)
bool stop_raised(void* context) {
  return static_cast<const std::atomic<bool>*>(context)->load(std::memory_order_relaxed);
}

// The block engine on a thread of its own, while this one polls the stop, draws the bar and keeps
// the clock. Returns false, with the engine released, when no thread can be had; the sweep engine
// must then run.
bool run_block_engine_watched(Route* route, const SeriesControl& control, SeriesOutcome* outcome) {
  CalcState* state = &route->state;
  std::atomic<bool> stop{false};
  BlockSignals signals;
  signals.stop = StopCheck{stop_raised, &stop};
  std::mutex lock;
  std::condition_variable changed;
  bool finished = false;
  std::thread worker;
  try {
    worker = std::thread([&] {
      const SeriesOutcome result = run_block_engine(&route->block_engine, state, &signals);
      std::lock_guard<std::mutex> hold(lock);
      *outcome = result;
      finished = true;
      changed.notify_one();
    });
  } catch (const std::exception&) {
    release_block_engine(&route->block_engine);
    return false;
  }
  constexpr std::chrono::milliseconds WATCH_INTERVAL{30};
  // The computing time ends where a stop is asked for, as in the loop: what the engine does after
  // it, turning the state back into words to be saved, is not computing (unless the run ends all
  // the same).
  bool stopped = false;
  std::unique_lock<std::mutex> hold(lock);
  while (!changed.wait_for(hold, WATCH_INTERVAL, [&finished] { return finished; })) {
    hold.unlock();
    if (!stopped) {
      stopped = control.stop_requested() && control.checkpoint_set;
      if (stopped) stop.store(true);
      calc_account_time(state, control.read_clock());
    }
    progress_advance(control.progress, block_progress(route->block_engine, signals));
    hold.lock();
  }
  hold.unlock();
  worker.join();
  progress_advance(control.progress, static_cast<std::uint32_t>(state->first_nonzero));
  if (!stopped || *outcome != SeriesOutcome::INTERRUPTED) {
    calc_account_time(state, control.read_clock());
  }
  return true;
}

// The direct route's digits. Returns false, with the series' numbers allocated when memory allows,
// when the series must run after all.
bool compute_directly(Route* route, const SeriesControl& control, RouteResult* result) {
  CalcState* state = &route->state;
  const auto words = static_cast<std::uint32_t>(words_for_positions(state->positions));
  if (!compute_direct_root(&route->direct, control.progress, words)) {
    if (!start_series_numbers(route)) {
      result->outcome = RouteOutcome::NO_MEMORY;
      return true;
    }
    return false;
  }
  calc_account_time(state, control.read_clock());
  result->outcome = RouteOutcome::COMPLETED;
  result->digits.chars = route->direct.digit_chars;
  result->final_index = route->direct.final_n;
  return true;
}
#endif

RouteResult series_result(Route* route, SeriesOutcome outcome, const SeriesControl& control) {
  RouteResult result;
  switch (outcome) {
    case SeriesOutcome::COMPLETED:
      scale_to_sqrt2(&route->state, control.read_clock());
      result.outcome = RouteOutcome::COMPLETED;
      result.digits.words = route->state.sum;
      result.final_index = route->state.next_n;
      break;
    case SeriesOutcome::LIMIT:
      result.outcome = RouteOutcome::LIMIT;
      break;
    case SeriesOutcome::INTERRUPTED:
      result.outcome = RouteOutcome::INTERRUPTED;
      break;
  }
  return result;
}

// The layout and time of a completed result.
RouteResult with_layout(RouteResult result, const CalcState& state) {
  result.digits.positions = state.positions;
  result.digits.format = state.format;
  result.digits.print_lead = state.print_lead;
  result.elapsed_ms = state.elapsed_ms;
  return result;
}

}  // namespace

bool set_up_route(const RunSettings& settings, Route* route) {
  CalcState* state = &route->state;
  route->memory_room = memory_available();
  if (settings.digits == 0) {
    std::FILE* file = std::fopen(settings.resume_path, "rb");
    if (file != nullptr) {
      if (!resume(file, route->memory_room, state)) return false;
      route->kind = series_engine_for(route);
      return true;
    }
  }
  state->positions = positions_for_request(settings.digits);
  state->format = settings.format;
  state->print_lead = settings.print_lead;
  // The direct route is chosen before the series' numbers would be allocated, and they are
  // allocated only when it is not.
  if (settings.resume_path == nullptr && direct_route_taken(state->positions, route)) {
    route->kind = RouteKind::DIRECT;
    return true;
  }
  if (!start_series_numbers(route)) {
    write_message(stderr, MSG_NO_MEMORY);
    return false;
  }
  route->kind = series_engine_for(route);
  return true;
}

RouteResult compute_route(Route* route, const SeriesControl& control) {
  SeriesOutcome outcome = SeriesOutcome::COMPLETED;
#if defined(TINDERMOSS_HAVE_GMP_ROUTES)
  if (route->kind == RouteKind::DIRECT) {
    RouteResult result;
    if (compute_directly(route, control, &result)) return with_layout(result, route->state);
    route->kind = series_engine_for(route);
  }
  if (route->kind == RouteKind::BLOCK_ENGINE &&
      !run_block_engine_watched(route, control, &outcome)) {
    route->kind = portable_engine_for(*route);
  }
#endif
  if (route->kind == RouteKind::SWEEP_ENGINE) outcome = run_series(&route->state, control);
  if (route->kind == RouteKind::LITERAL_LOOP) outcome = run_series_literal(&route->state, control);
  return with_layout(series_result(route, outcome, control), route->state);
}

void release_route(Route* route) {
#if defined(TINDERMOSS_HAVE_GMP_ROUTES)
  if (route->kind == RouteKind::DIRECT) release_direct_root(&route->direct);
#endif
  calc_release(&route->state);
}
