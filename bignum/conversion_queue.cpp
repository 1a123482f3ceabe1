#include "bignum/conversion_queue.h"

#include <utility>

void queue_hold(ConversionQueue* queue) {
  std::lock_guard<std::mutex> hold(queue->lock);
  ++queue->unfinished;
}

void queue_add(ConversionQueue* queue, DecimalPiece piece) {
  {
    std::lock_guard<std::mutex> hold(queue->lock);
    ++queue->unfinished;
    queue->waiting.push_back(piece);
  }
  queue->changed.notify_one();
}

void queue_fail(ConversionQueue* queue, PieceStatus failure) {
  PieceStatus expected = PieceStatus::DONE;
  queue->status.compare_exchange_strong(expected, failure);
}

void convert_piece(ConversionQueue* queue, DecimalPiece piece, ConversionProgress progress) {
  PieceStatus status = queue->status.load();
  while (status == PieceStatus::DONE && piece.places > LEAF_PLACES) {
    if (!piece.leading_given) {
      DecimalPiece leading;
      status = leading_half(piece, &leading);
      if (status == PieceStatus::DONE) queue_add(queue, leading);
    }
    DecimalPiece trailing;
    if (status == PieceStatus::DONE) status = trailing_half(piece, *queue->powers, &trailing);
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
    if (!queue->waiting.empty()) {
      DecimalPiece piece = queue->waiting.front();
      queue->waiting.pop_front();
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
