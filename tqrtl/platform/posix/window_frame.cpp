// The decoder of window frames (see window_frame.h).
#include "tqrtl/platform/posix/window_frame.h"

#include <cstring>

#include "tqrtl/platform/win32.h"

namespace tqrtl::posix {

bool MessageCrossesThreads(std::uint32_t message, FrameKind kind) {
  if (message >= WM_USER) return true;
  switch (message) {
    case WM_NULL:
    case WM_CLOSE:
      return true;
    case WM_QUIT:
      return kind == FrameKind::kPost;
    case WM_COPYDATA:
      return kind == FrameKind::kSend;
    default:
      return false;
  }
}

DecodeStatus DecodeFrame(const std::uint8_t* data, std::size_t size, FrameDirection direction,
                         FrameHeader* header, std::size_t* consumed) {
  if (size < sizeof(FrameHeader)) {
    // A wrong magic is refused at once, so garbage never waits for more.
    std::uint32_t magic = 0;
    std::memcpy(&magic, data, size < sizeof magic ? size : sizeof magic);
    std::uint32_t want = kFrameMagic;
    if (size > 0 && std::memcmp(&magic, &want, size < sizeof magic ? size : sizeof magic) != 0)
      return DecodeStatus::kMalformed;
    return DecodeStatus::kIncomplete;
  }
  FrameHeader h;
  std::memcpy(&h, data, sizeof h);
  if (h.magic != kFrameMagic || h.reserved != 0) return DecodeStatus::kMalformed;
  const auto kind = static_cast<FrameKind>(h.kind);
  if (direction == FrameDirection::kToWindow) {
    if (kind != FrameKind::kSend && kind != FrameKind::kPost) return DecodeStatus::kMalformed;
  } else {
    if (kind != FrameKind::kReply || h.message != 0) return DecodeStatus::kMalformed;
    if (h.flags != 0 || h.length != 0) return DecodeStatus::kMalformed;
    *header = h;
    *consumed = sizeof h;
    return DecodeStatus::kComplete;
  }
  if (!MessageCrossesThreads(h.message, kind)) return DecodeStatus::kMalformed;
  // A WM_COPYDATA send always carries its block (maybe empty): its lParam
  // is the sender's pointer, which must never reach a window procedure.
  if (h.message == WM_COPYDATA) {
    if (h.flags != kFrameCopyData || h.length > kMaxCopyData) return DecodeStatus::kMalformed;
  } else if (h.flags != 0 || h.length != 0) {
    return DecodeStatus::kMalformed;
  }
  const std::size_t total = sizeof h + h.length;
  *header = h;
  if (size < total) return DecodeStatus::kIncomplete;
  *consumed = total;
  return DecodeStatus::kComplete;
}

}  // namespace tqrtl::posix
