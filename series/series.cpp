#include "series/series.h"

#include "numbers/series_constants.h"

SeriesOutcome run_series_literal(CalcState* state, const SeriesControl& control) {
  const std::int32_t count = state->word_count;
  for (;;) {
    if (state->first_nonzero >= count) return SeriesOutcome::COMPLETED;
    const std::uint32_t n = state->next_n;
    subtract_words(state->sum, state->term, count, state->first_nonzero);
    if (n > LAST_SERIES_INDEX) return SeriesOutcome::LIMIT;
    // The multiplication first, then the two truncating divisions: this order fixes every guard
    // digit, and so the contents of a checkpoint.
    std::int32_t first = multiply_small(state->term, 2 * n - 1, count, state->first_nonzero);
    first = divide_small(state->term, 2 * n + 2, count, first);
    state->first_nonzero = divide_small(state->term, SERIES_X_DENOMINATOR, count, first);
    state->next_n = n + 1;
    progress_advance(control.progress, static_cast<std::uint32_t>(state->first_nonzero));
    if (state->next_n % 100 == 0) calc_account_time(state, control.read_clock());
    if (control.stop_requested() && control.checkpoint_set) {
      calc_account_time(state, control.read_clock());
      return SeriesOutcome::INTERRUPTED;
    }
  }
}

void scale_to_sqrt2(CalcState* state, std::uint32_t clock_reading) {
  divide_small(state->sum, SCALE_DENOMINATOR, state->word_count, 0);
  multiply_small(state->sum, SCALE_NUMERATOR, state->word_count, 0);
  calc_account_time(state, clock_reading);
}
