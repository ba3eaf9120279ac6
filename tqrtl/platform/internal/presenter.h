// presenter.h: the per-system pieces of the message-box presenter.
#ifndef TQRTL_PLATFORM_INTERNAL_PRESENTER_H_
#define TQRTL_PLATFORM_INTERNAL_PRESENTER_H_

#include <stdio.h>

#include "tqrtl/platform/win32.h"

namespace tqrtl::platform {

// IsTerminal: whether `stream` is an interactive terminal.
bool IsTerminal(FILE* stream);

// DefaultPresenter: the presenter used while none is installed.
TQMessageBoxPresenter& DefaultPresenter();

}  // namespace tqrtl::platform

#endif  // TQRTL_PLATFORM_INTERNAL_PRESENTER_H_
