// Decimal pieces shared by the threads that convert them. A thread follows a piece's trailing
// halves down to a leaf itself and queues the leading halves, which any free thread takes, the
// largest first.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "radix/decimal_tree.h"

struct ConversionQueue {
  const PowerTable* powers = nullptr;
  std::mutex lock;
  std::condition_variable changed;
  // A ring of `waiting_capacity` pieces, `waiting_count` of them from `first_waiting` on, in the
  // route's memory: a whole level of the tree may wait at once.
  DecimalPiece* waiting = nullptr;
  std::size_t waiting_capacity = 0;
  std::size_t first_waiting = 0;
  std::size_t waiting_count = 0;
  std::uint64_t unfinished = 0;  // pieces queued or being converted, and places held open
  std::atomic<PieceStatus> status{PieceStatus::DONE};  // the first failure, if any
  std::atomic<std::uint64_t> digits_done{0};
  KeptPowers kept_powers;  // none unless its most_bytes is set
};

// Told after each leaf the digits converted so far by all threads; none when `report` is null.
struct ConversionProgress {
  void (*report)(void* context, std::uint64_t digits_done) = nullptr;
  void* context = nullptr;
};

// Holds the queue open for a piece that the caller will convert with convert_piece.
void queue_hold(ConversionQueue* queue);

// Queues a piece for any thread (the queue owns it from here). Without memory to grow the queue,
// the piece is dropped and the conversion fails with NO_MEMORY.
void queue_add(ConversionQueue* queue, DecimalPiece piece);

// Records a failure: pieces not yet converted are then dropped.
void queue_fail(ConversionQueue* queue, PieceStatus failure);

// The leading half of a piece of more than LEAF_PLACES digits, where it is to be formed: not where
// the piece says it comes separately nor where it holds known zeros only (leading->places is 0
// then). Zeroes the word the halves share first.
PieceStatus take_leading_half(const DecimalPiece& piece, DecimalPiece* leading);

// Converts a held piece: its trailing halves here, its leading halves queued (unless given);
// then releases the hold.
void convert_piece(ConversionQueue* queue, DecimalPiece piece, ConversionProgress progress);

// Converts queued pieces until none is queued, being converted or held.
void convert_queued(ConversionQueue* queue, ConversionProgress progress);

// Frees the queue's own memory and its kept powers once no thread uses them.
void queue_release(ConversionQueue* queue);
