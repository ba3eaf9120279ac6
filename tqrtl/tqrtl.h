// tqrtl.h: the whole public API of the library in one include.
//
// Tools include <tqrtl/tqrtl.h> and link TQRTL::tqrtl. Every name it brings
// in is documented in the header that declares it.
#ifndef TQRTL_TQRTL_H_
#define TQRTL_TQRTL_H_

#include "tqrtl/version.h"

#include "tqrtl/platform/win32.h"

#include "tqrtl/core/EventSender.h"
#include "tqrtl/core/RefCntObject.h"
#include "tqrtl/core/StringHandle.h"
#include "tqrtl/core/TQEvent.h"
#include "tqrtl/core/TQHeap.h"
#include "tqrtl/core/TQInterlocked.h"
#include "tqrtl/core/TQLiteMutex.h"
#include "tqrtl/core/TQPlex.h"
#include "tqrtl/core/WorkerThread.h"
#include "tqrtl/errors/TQException.h"
#include "tqrtl/errors/TQTrace.h"
#include "tqrtl/files/AttribPathName.h"
#include "tqrtl/files/FileFinder.h"
#include "tqrtl/files/FileUtil.h"
#include "tqrtl/files/SysUtil.h"
#include "tqrtl/files/TQStorage.h"
#include "tqrtl/files/TQStream.h"
#include "tqrtl/ipc/SharedMemoryMgr.h"
#include "tqrtl/ipc/TQIPC_Messages.h"
#include "tqrtl/ipc/TQIPC_Object.h"
#include "tqrtl/registry/RegAPI.h"
#include "tqrtl/registry/Registry.h"
#include "tqrtl/registry/RegistryValue.h"
#include "tqrtl/registry/TQApplSettings.h"
#include "tqrtl/registry/TQReg.h"
#include "tqrtl/res/LibraryStrings.h"
#include "tqrtl/shell/FileSearchPaths.h"
#include "tqrtl/shell/TQApplShell.h"
#include "tqrtl/shell/TQApplSlaveShell.h"
#include "tqrtl/shell/TQCommandTable.h"
#include "tqrtl/shell/TQDynamicObject.h"
#include "tqrtl/shell/TQUtil.h"
#include "tqrtl/shell/TQWorkspace.h"
#include "tqrtl/strings/TQArray.h"
#include "tqrtl/strings/SearchString.h"
#include "tqrtl/strings/SegmentedString.h"
#include "tqrtl/strings/StrUtil.h"
#include "tqrtl/strings/TQString.h"
#include "tqrtl/time/TQTime.h"
#include "tqrtl/time/TQTimeSpan.h"
#include "tqrtl/view/BulkArray.h"
#include "tqrtl/view/BulkArrayIndex.h"
#include "tqrtl/view/ProgressIndicator.h"
#include "tqrtl/view/ScrollRangeMap.h"
#include "tqrtl/view/ScrollingViewport.h"

#endif  // TQRTL_TQRTL_H_
