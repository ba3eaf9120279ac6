// IsBadReadPtr and IsBadWritePtr: whether a range of this process's memory
// is mapped with the wanted protection, read from /proc/self/maps. The
// memory itself is never touched, so a probe cannot fault or change it.
// Also _close, the descriptor counterpart of _dup.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

// <fcntl.h> has flock's LOCK_WRITE, which IStream's LOCK_WRITE replaces.
#undef LOCK_WRITE
#include "tqrtl/platform/posix/internal.h"

namespace {

// Parses a hexadecimal number at `p`, advancing it.
std::uintptr_t Hex(const char*& p, const char* end) {
  std::uintptr_t value = 0;
  for (; p < end; ++p) {
    const char c = *p;
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else
      break;
    value = value << 4 | static_cast<std::uintptr_t>(digit);
  }
  return value;
}

// Whether every byte of [begin, end) lies in mappings whose permission
// field has `want` ('r' or 'w') in position `column` (0 or 1).
bool Mapped(std::uintptr_t begin, std::uintptr_t end, int column, char want) {
  int fd;
  do fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;

  // The lines come in address order; `covered` is where the range still
  // needs a mapping.
  std::uintptr_t covered = begin;
  bool ok = false, done = false;
  char buffer[4096];
  size_t held = 0;
  while (!done) {
    const ssize_t n = read(fd, buffer + held, sizeof buffer - held);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    held += static_cast<size_t>(n);
    size_t start = 0;
    for (size_t i = 0; i < held && !done; ++i) {
      if (buffer[i] != '\n') continue;
      const char* p = buffer + start;
      const char* line_end = buffer + i;
      start = i + 1;
      const std::uintptr_t low = Hex(p, line_end);
      if (p >= line_end || *p != '-') continue;
      ++p;
      const std::uintptr_t high = Hex(p, line_end);
      if (p + 1 + column >= line_end) continue;
      const char permission = p[1 + column];
      if (high <= covered) continue;
      if (low > covered || permission != want) {
        done = true;  // a gap, or the wrong protection
        break;
      }
      covered = high;
      if (covered >= end) ok = done = true;
    }
    // Keep the unfinished line for the next read (a line is far shorter
    // than the buffer).
    for (size_t i = start; i < held; ++i) buffer[i - start] = buffer[i];
    held -= start;
    if (held == sizeof buffer) held = 0;
  }
  close(fd);
  return ok;
}

BOOL Bad(const void* p, UINT_PTR size, int column, char want) {
  if (size == 0) return FALSE;
  const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(p);
  if (p == nullptr || begin + size < begin) return TRUE;
  return Mapped(begin, begin + size, column, want) ? FALSE : TRUE;
}

}  // namespace

extern "C" {

BOOL WINAPI IsBadReadPtr(const void* p, UINT_PTR size) { return Bad(p, size, 0, 'r'); }

BOOL WINAPI IsBadWritePtr(LPVOID p, UINT_PTR size) { return Bad(p, size, 1, 'w'); }

int _close(int fd) { return close(fd); }

}  // extern "C"
