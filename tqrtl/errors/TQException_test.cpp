// Tests of the exception hierarchy: message building from string resources,
// inserts, system texts, the 1024-character bounds and the message box.
#include "tqrtl/errors/TQException.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"
#include "tqrtl/errors/TQTrace.h"
#include "tqrtl/shell/TQUtil.h"

namespace {

std::string LibraryText(unsigned int id) {
  TQString text;
  EXPECT_TRUE(TQUtil::LoadStringA(id, &text));
  return static_cast<const char*>(text);
}

std::string SystemText(DWORD error) {
  char text[1024];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, text, sizeof(text), nullptr);
  EXPECT_GT(n, 0u);
  return std::string(text, n);
}

std::string MessageOf(const TQException& e) {
  char buffer[TQException::kMessageBufferSize];
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_TRUE(e.GetErrorMessage(buffer));
  EXPECT_EQ(buffer[1024], '\0');
  return buffer;
}

class TQExceptionTest : public ::testing::Test {
 protected:
  HINSTANCE self_ = GetModuleHandleA(nullptr);
};

TEST_F(TQExceptionTest, PlainMessagesComeFromTheResource) {
  EXPECT_EQ(MessageOf(TQException()), LibraryText(504));
  EXPECT_EQ(MessageOf(TQException(self_, 1)), "Short");
  EXPECT_EQ(MessageOf(TQException(self_, 4711)), "*** Can't load string 4711");
  // Templates are not formatted at this level.
  EXPECT_EQ(MessageOf(TQException(self_, 2)), "%1 and %2");
  EXPECT_EQ(MessageOf(TQMemoryException()), LibraryText(505));
}

TEST_F(TQExceptionTest, GeneralMessagesInsertTheirArguments) {
  EXPECT_EQ(MessageOf(TQGeneralException(self_, 0, TQString("x"))), LibraryText(504));

  TQGeneralException::MessageArguments arguments;
  arguments.Add("cats");
  arguments.Add("dogs");
  TQGeneralException two(self_, 2, arguments);
  EXPECT_EQ(MessageOf(two), "cats and dogs");

  // Copies share the argument strings and give the same message.
  TQGeneralException copy(two);
  EXPECT_EQ(copy.GetArguments().GetSize(), 2);
  EXPECT_EQ(static_cast<const char*>(copy.GetArguments()[0]),
            static_cast<const char*>(two.GetArguments()[0]));
  EXPECT_EQ(MessageOf(copy), "cats and dogs");

  // The template's own syntax applies; surplus arguments are ignored.
  EXPECT_EQ(MessageOf(TQGeneralException(self_, 7, arguments)), "cats\r\ndogs");
  EXPECT_EQ(MessageOf(TQGeneralException(self_, 6, arguments)), "No inserts here");
  EXPECT_EQ(MessageOf(TQGeneralException(self_, 4711)), "*** Can't load string 4711");
}

TEST_F(TQExceptionTest, MessagesAreCutAt1024Characters) {
  EXPECT_EQ(MessageOf(TQException(self_, 1200)), TestAlphabet(1024));
  EXPECT_EQ(MessageOf(TQGeneralException(self_, 1200)), TestAlphabet(1024));
  // The system part is cut so that the whole stays within 1023 characters...
  const std::string system = MessageOf(TQSystemException(ERROR_ACCESS_DENIED, self_, 1010));
  EXPECT_EQ(system, TestAlphabet(1010) + "\r\n\r\n" + SystemText(ERROR_ACCESS_DENIED).substr(0, 9));
  // ...and is left out when the general part already fills the buffer.
  EXPECT_EQ(MessageOf(TQSystemException(ERROR_ACCESS_DENIED, self_, 1200)), TestAlphabet(1024));
}

TEST_F(TQExceptionTest, SystemMessagesAppendTheSystemText) {
  TQSystemException denied(ERROR_ACCESS_DENIED, self_, 1);
  EXPECT_EQ(MessageOf(denied), "Short\r\n\r\n" + SystemText(ERROR_ACCESS_DENIED));
  EXPECT_EQ(denied.GetError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  SetLastError(ERROR_INVALID_HANDLE);
  TQSystemException from_last_error;
  EXPECT_EQ(from_last_error.GetError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // An error without a system text: no message, and no box.
  TQSystemException unknown(0x1234567, self_, 1);
  char buffer[TQException::kMessageBufferSize];
  EXPECT_FALSE(unknown.GetErrorMessage(buffer));
  RecordingPresenter presenter;
  EXPECT_EQ(unknown.DisplayErrorMessage(), 0);
  EXPECT_TRUE(presenter.boxes.empty());
  EXPECT_TRUE(presenter.beeps.empty());
}

TEST_F(TQExceptionTest, OpenFailuresNameTheFileAndTheCause) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  try {
    throw TQStreamOpenException("C:\\data.bin");
  } catch (const TQException& e) {
    EXPECT_EQ(MessageOf(e),
              "Unable to open file \"C:\\data.bin\"\r\n\r\n" + SystemText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(e.GetModule(), TQUtil::ModuleHandle());
    EXPECT_EQ(e.GetId(), 503u);
  }
  SetLastError(ERROR_ACCESS_DENIED);
  TQStreamException stream("log.txt", 503);
  EXPECT_EQ(stream.GetError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(TQExceptionTest, DisplayUsesTheDefaultsAndBeepsFirst) {
  RecordingPresenter presenter;
  EXPECT_EQ(TQMemoryException().DisplayErrorMessage(0, nullptr, nullptr), IDOK);
  ASSERT_EQ(presenter.boxes.size(), 1u);
  const auto& box = presenter.boxes[0];
  EXPECT_EQ(box.text, LibraryText(505));
  EXPECT_EQ(box.caption, "Vantor Lintel - Error");
  EXPECT_EQ(box.owner, nullptr);
  EXPECT_EQ(box.type, MB_ICONEXCLAMATION | 0x40000u | MB_TASKMODAL);
  EXPECT_EQ(presenter.beeps, std::vector<UINT>{MB_ICONEXCLAMATION});
  EXPECT_EQ(presenter.events, (std::vector<std::string>{"beep", "box"}));
}

TEST_F(TQExceptionTest, DisplayPassesTypeCaptionAndOwner) {
  RecordingPresenter presenter(IDNO);
  HWND owner = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x1234));
  EXPECT_EQ(TQException(self_, 1).DisplayErrorMessage(MB_YESNO | MB_ICONQUESTION, "Caption",
                                                       owner),
            IDNO);
  ASSERT_EQ(presenter.boxes.size(), 1u);
  EXPECT_EQ(presenter.boxes[0].type, MB_YESNO | MB_ICONQUESTION | 0x40000u);  // no task-modal
  EXPECT_EQ(presenter.boxes[0].caption, "Caption");
  EXPECT_EQ(presenter.boxes[0].owner, owner);
  EXPECT_EQ(presenter.beeps, std::vector<UINT>{MB_ICONQUESTION});

  // No icon: the simple beep.
  TQException(self_, 1).DisplayErrorMessage(MB_OKCANCEL, "c", owner);
  EXPECT_EQ(presenter.beeps.back(), 0xFFFFFFFFu);
}

// The hooks do nothing, but they are exported: this proves they link.
TEST(TQTraceTest, DiagnosticsAcceptEverything) {
  TQTrace("%s %d", "ignored", 1);
  EXPECT_EQ(TQIsValidString(static_cast<const char*>(nullptr), 5), 1);
  EXPECT_EQ(TQIsValidString(static_cast<const unsigned short*>(nullptr), 5), 1);
  EXPECT_EQ(TQIsValidAddress(nullptr, 100, 1), 1);
}

}  // namespace
