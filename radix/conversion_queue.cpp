#include "radix/conversion_queue.h"

#include <utility>

#include "products/memory_arena.h"

void queue_hold(ConversionQueue* queue) {
  std::lock_guard<std::mutex> hold(queue->lock);
  ++queue->unfinished;
}

namespace {

// Doubles the ring, keeping the waiting pieces in order; false when memory is short. Lock held.
bool grow(ConversionQueue* queue) {
  const std::size_t capacity = queue->waiting_capacity == 0 ? 64 : 2 * queue->waiting_capacity;
  DecimalPiece* ring = static_cast<DecimalPiece*>(arena_allocate(capacity * sizeof(DecimalPiece)));
  if (ring == nullptr) return false;
  for (std::size_t i = 0; i < queue->waiting_count; ++i) {
    ring[i] = queue->waiting[(queue->first_waiting + i) % queue->waiting_capacity];
  }
  arena_free(queue->waiting);
  queue->waiting = ring;
  queue->waiting_capacity = capacity;
  queue->first_waiting = 0;
  return true;
}

}  // namespace

void queue_add(ConversionQueue* queue, DecimalPiece piece) {
  {
    std::lock_guard<std::mutex> hold(queue->lock);
    if (queue->waiting_count == queue->waiting_capacity && !grow(queue)) {
      release_piece(&piece);
      queue_fail(queue, PieceStatus::NO_MEMORY);
      return;
    }
    ++queue->unfinished;
    const std::size_t slot =
        (queue->first_waiting + queue->waiting_count++) % queue->waiting_capacity;
    queue->waiting[slot] = piece;
  }
  queue->changed.notify_one();
}

void queue_fail(ConversionQueue* queue, PieceStatus failure) {
  PieceStatus expected = PieceStatus::DONE;
  queue->status.compare_exchange_strong(expected, failure);
}

PieceStatus take_leading_half(const DecimalPiece& piece, DecimalPiece* leading) {
  *leading = DecimalPiece{};
  if (piece.leading_given) return PieceStatus::DONE;
  clear_shared_word(piece);  // before either half can reach a leaf
  if (piece.first + (piece.places + 1) / 2 <= piece.known_zeros) return PieceStatus::DONE;
  return leading_half(piece, leading);
}

void convert_piece(ConversionQueue* queue, DecimalPiece piece, ConversionProgress progress) {
  PieceStatus status = queue->status.load();
  while (status == PieceStatus::DONE && piece.places > LEAF_PLACES) {
    DecimalPiece leading;
    status = take_leading_half(piece, &leading);
    if (status == PieceStatus::DONE && leading.places > 0) queue_add(queue, leading);
    DecimalPiece trailing;
    if (status == PieceStatus::DONE) {
      status = trailing_half(piece, *queue->powers, &queue->kept_powers, &trailing);
    }
    release_piece(&piece);
    if (status == PieceStatus::DONE) piece = trailing;
    if (status == PieceStatus::DONE) status = queue->status.load();  // another thread's failure
  }
  if (status == PieceStatus::DONE) {
    const std::uint64_t places = piece.places;
    status = convert_leaf(&piece);
    const std::uint64_t done = queue->digits_done.fetch_add(places) + places;
    if (progress.report != nullptr) progress.report(progress.context, done);
  }
  release_piece(&piece);
  if (status != PieceStatus::DONE) queue_fail(queue, status);
  bool last;
  {
    std::lock_guard<std::mutex> hold(queue->lock);
    last = --queue->unfinished == 0;
  }
  if (last) queue->changed.notify_all();
}

void convert_queued(ConversionQueue* queue, ConversionProgress progress) {
  std::unique_lock<std::mutex> hold(queue->lock);
  for (;;) {
    if (queue->waiting_count > 0) {
      DecimalPiece piece = queue->waiting[queue->first_waiting];
      queue->first_waiting = (queue->first_waiting + 1) % queue->waiting_capacity;
      --queue->waiting_count;
      hold.unlock();
      convert_piece(queue, piece, progress);
      hold.lock();
    } else if (queue->unfinished == 0) {
      return;
    } else {
      queue->changed.wait(hold);
    }
  }
}

void queue_release(ConversionQueue* queue) {
  release_kept_powers(&queue->kept_powers);
  arena_free(queue->waiting);
  queue->waiting = nullptr;
  queue->waiting_capacity = queue->first_waiting = queue->waiting_count = 0;
}
