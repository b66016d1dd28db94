#pragma once
// The bytes of one request as they arrive, cut into its header block and
// its body.
//
// The header block is everything up to the blank line that ends it, however
// the peer cut it into segments, and may be at most maxHeaderBytes long.
// Once the caller has read the block, it says how long the body is and
// whether to keep it: a body no endpoint reads is only counted, never
// stored, and a kept one grows with what arrives, never with what the peer
// announced. Bytes beyond the body are dropped; they only mean that the peer
// sent more than its request.

#include <cstddef>
#include <string>
#include <string_view>

class RequestIntake {
 public:
  enum class Phase {
    Head,      // the header block is still arriving
    HeadRead,  // the block is complete; expectBody() has not been called yet
    Body,      // body bytes are still due
    Done,      // the whole request has arrived
  };

  explicit RequestIntake(std::size_t maxHeaderBytes = 8192) : maxHeader_(maxHeaderBytes) {}

  // Takes bytes that arrived; false when the header block has passed its cap
  // without ending.
  bool take(std::string_view bytes);
  // After the header block: the body is length bytes, kept or only counted.
  void expectBody(std::size_t length, bool keep);

  Phase phase() const { return phase_; }
  // The header block, its blank line included; before it is complete, all
  // that arrived.
  std::string_view head() const;
  std::string takeBody() { return std::move(body_); }
  std::size_t bodyLength() const { return length_; }
  std::size_t bodyArrived() const { return arrived_; }
  std::size_t received() const { return received_; }
  // True when more came than the request, or before the request was read
  // to its end: unread input may still come.
  bool inputLeft() const { return phase_ != Phase::Done || extra_; }

 private:
  std::size_t maxHeader_;
  Phase phase_ = Phase::Head;
  std::string data_;  // the header block, and what came with it until expectBody()
  std::size_t headEnd_ = 0;
  std::size_t length_ = 0;
  std::size_t arrived_ = 0;
  bool keep_ = false;
  bool extra_ = false;
  std::size_t received_ = 0;
  std::string body_;

  void takeBody(std::string_view bytes);
};
