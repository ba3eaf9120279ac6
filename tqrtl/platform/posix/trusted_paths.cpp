// Trust in the files and folders that hold a user's data (see internal.h):
// the registry's folder and files, the named-object namespace. Another user
// who owns one of them, or may write to it, could read what the user stores
// there or plant what the user will read.
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <string>

#include "tqrtl/platform/posix/internal.h"

namespace tqrtl::posix {

std::string UntrustedReason(const struct stat& st, TrustedOwners owners, mode_t forbidden) {
  const uid_t me = geteuid();
  if (st.st_uid != me && !(owners == TrustedOwners::kUserOrRoot && st.st_uid == 0)) {
    return "owned by user " + std::to_string(st.st_uid) + ", not by this user (" +
           std::to_string(me) + ")";
  }
  const mode_t extra = st.st_mode & forbidden;
  if (extra != 0) {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const bool writable = (extra & 022) != 0;
    return std::string("mode ") + mode + ": " +
           (writable ? "other users may write to it" : "other users may open it");
  }
  return "";
}

void ReportRefusal(const std::string& path, const std::string& reason) {
  static std::mutex lock;
  static auto* reported = new std::set<std::string>;  // never destroyed: usable at exit
  const std::string text = "tqrtl: refusing " + path + ": " + reason + "\n";
  {
    std::lock_guard<std::mutex> guard(lock);
    if (!reported->insert(text).second) return;
  }
  fputs(text.c_str(), stderr);
}

bool CheckTrusted(const std::string& path, bool follow_links, TrustedOwners owners,
                  mode_t forbidden, bool missing_ok) {
  struct stat st;
  const int rc = follow_links ? Sys().stat(path.c_str(), &st) : Sys().lstat(path.c_str(), &st);
  if (rc != 0) {
    if (errno == ENOENT && missing_ok) return true;
    SetLastErrorFromErrno();
    return false;
  }
  const std::string reason = UntrustedReason(st, owners, forbidden);
  if (reason.empty()) return true;
  ReportRefusal(path, reason);
  SetLastError(ERROR_ACCESS_DENIED);
  return false;
}

}  // namespace tqrtl::posix
