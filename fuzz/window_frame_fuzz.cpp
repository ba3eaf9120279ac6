// Fuzzes the decoder of the frames that other processes write to a
// window's socket (tqrtl/platform/posix/window_frame.h).
//
// Input: byte 0 picks the direction (even: toward a window, odd: toward a
// sender); the rest is the stream a connection delivered. The stream is
// decoded frame after frame, as the window layer does, and each answer is
// checked: a complete frame is a valid header plus exactly its payload,
// within the cap; no prefix of a complete frame is malformed or complete;
// an incomplete stream whose header is present announces a length within
// the cap.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tqrtl/platform/posix/window_frame.h"

namespace {

using tqrtl::posix::DecodeFrame;
using tqrtl::posix::DecodeStatus;
using tqrtl::posix::FrameDirection;
using tqrtl::posix::FrameHeader;
using tqrtl::posix::kMaxCopyData;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const FrameDirection direction =
      (data[0] & 1) == 0 ? FrameDirection::kToWindow : FrameDirection::kToSender;
  const uint8_t* stream = data + 1;
  size_t left = size - 1;
  while (left > 0) {
    FrameHeader header;
    size_t consumed = 0;
    const DecodeStatus status = DecodeFrame(stream, left, direction, &header, &consumed);
    if (status == DecodeStatus::kMalformed) return 0;
    if (status == DecodeStatus::kIncomplete) {
      if (left >= sizeof(FrameHeader)) Require(header.length <= kMaxCopyData);
      return 0;
    }
    Require(consumed == sizeof(FrameHeader) + header.length && consumed <= left);
    Require(header.length <= kMaxCopyData);
    FrameHeader again;
    std::memcpy(&again, stream, sizeof again);
    Require(std::memcmp(&again, &header, sizeof header) == 0);
    // Every shorter piece of the frame only asks for more.
    for (size_t cut = 0; cut < consumed; cut += 1 + cut / 4) {
      FrameHeader partial;
      size_t unused = 0;
      Require(DecodeFrame(stream, cut, direction, &partial, &unused) == DecodeStatus::kIncomplete);
    }
    stream += consumed;
    left -= consumed;
  }
  return 0;
}
