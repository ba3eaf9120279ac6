#include "tqrtl/files/AttribPathName.h"

#include "tqrtl/files/TQStream.h"

int AttribPathName::Serialize(TQStream* stream, SerializationDirection direction) {
  if (stream == nullptr) return 0;
  if (direction == Write) {
    const int done = stream->Write(static_cast<unsigned long>(m_attributes));
    return done != 0 ? stream->Write(m_path) : done;
  }
  // The stream reads the four stored bytes into an unsigned long; keep the
  // word as 32 bits whatever the width of long.
  unsigned long word = 0;
  const int done = stream->Read(&word);
  if (done == 0) return done;
  m_attributes = static_cast<unsigned int>(word);
  return stream->Read(&m_path);
}
