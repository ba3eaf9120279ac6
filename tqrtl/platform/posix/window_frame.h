// window_frame.h: the frames that carry messages between windows (see
// windows.cpp). Not installed.
//
// A connection to a window's socket carries, from the connecting thread to
// the window's thread, SEND and POST frames, and back REPLY frames. Every
// frame is a fixed 48-byte header in the machine's byte order (both ends are
// on one machine), followed by `length` bytes of payload: the copied block
// of a WM_COPYDATA send, and nothing for any other frame.
//
// Frames come from another process, so they are outside input: DecodeFrame
// is the only reader, it checks every field before anything is allocated or
// dispatched, and a connection whose bytes do not decode is dropped.
#ifndef TQRTL_PLATFORM_POSIX_WINDOW_FRAME_H_
#define TQRTL_PLATFORM_POSIX_WINDOW_FRAME_H_

#include <cstddef>
#include <cstdint>

#include "tqrtl/platform/export.h"

namespace tqrtl::posix {

constexpr std::uint32_t kFrameMagic = 0x4D575154;  // "TQWM"
// The largest WM_COPYDATA block that crosses between processes. A larger
// send fails in the sender with ERROR_INVALID_PARAMETER; a frame that
// announces more is malformed.
constexpr std::uint32_t kMaxCopyData = 64u << 20;

enum class FrameKind : std::uint16_t { kSend = 1, kPost = 2, kReply = 3 };
constexpr std::uint16_t kFrameCopyData = 1;  // flags: the payload is a WM_COPYDATA block

struct FrameHeader {
  std::uint32_t magic;
  std::uint16_t kind;     // FrameKind
  std::uint16_t flags;    // kFrameCopyData or 0
  std::uint32_t seq;      // a send's number on its connection; its reply repeats it
  std::uint32_t message;  // SEND/POST: the message (REPLY: 0)
  std::uint64_t wparam;
  std::int64_t lparam;    // REPLY: the window procedure's result
  std::uint64_t data_tag; // WM_COPYDATA: dwData
  std::uint32_t length;   // payload bytes
  std::uint32_t reserved; // 0
};
static_assert(sizeof(FrameHeader) == 48, "the header's size is part of the wire format");

// MessageCrossesThreads: whether `message` may be sent (kSend) or posted
// (kPost) to a window of another thread. Window messages below WM_USER
// carry pointers or window-manager state, so only WM_NULL, WM_CLOSE,
// WM_COPYDATA (sent, with its block copied) and WM_QUIT (posted) cross;
// every message from WM_USER up does, its parameters passed as numbers.
TQRTL_API bool MessageCrossesThreads(std::uint32_t message, FrameKind kind);

// Which frames a connection may carry toward the reader.
enum class FrameDirection { kToWindow, kToSender };

enum class DecodeStatus { kIncomplete, kComplete, kMalformed };

// DecodeFrame: looks at the `size` bytes at `data`, the start of a frame.
// kComplete: *header is the frame's header, its payload follows it in
// `data`, and *consumed is the frame's whole size. kIncomplete: more bytes
// are needed (a header that is present is already valid, so its length may
// be trusted for allocating). kMalformed: the bytes are not a frame that may
// arrive in `direction`: a wrong magic, kind, flag or reserved field, a
// payload on a frame other than a WM_COPYDATA send (which must carry
// one, maybe empty), one over kMaxCopyData, or a message that may not cross
// (MessageCrossesThreads). Reads nothing outside the `size` bytes.
TQRTL_API DecodeStatus DecodeFrame(const std::uint8_t* data, std::size_t size,
                                   FrameDirection direction, FrameHeader* header,
                                   std::size_t* consumed);

}  // namespace tqrtl::posix

#endif  // TQRTL_PLATFORM_POSIX_WINDOW_FRAME_H_
