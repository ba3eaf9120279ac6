// registry.h: what the Linux registry store offers beyond the Win32
// calls (registry.cpp). Not installed: used by the POSIX tests and by the
// tqreg tool.
//
// The store keeps one SQLite database per hive (HKEY_CURRENT_USER,
// HKEY_LOCAL_MACHINE) in the registry directory: $TQRTL_REGISTRY_DIR when it
// is set and not empty, else ${XDG_CONFIG_HOME:-$HOME/.config}/tqrtl/registry.
// The directory is read when a hive is first opened and kept until
// RegistryCloseAll. All functions here are thread-safe; they return Win32
// error codes (0 on success) like the Reg* calls.
#ifndef TQRTL_PLATFORM_POSIX_REGISTRY_H_
#define TQRTL_PLATFORM_POSIX_REGISTRY_H_

#include <cstdint>
#include <string>

#include "tqrtl/platform/win32.h"

namespace tqrtl::posix {

// RegistryDirectory: the directory the store uses now (resolved from the
// environment if no hive is open yet), or "" when it cannot be named (no
// HOME and nothing else set).
TQRTL_API std::string RegistryDirectory();

// RegistryHivePath: the database file of HKEY_CURRENT_USER or
// HKEY_LOCAL_MACHINE, or "" for any other key or when there is no directory.
TQRTL_API std::string RegistryHivePath(HKEY root);

// RegistryBeginTransaction: makes the following Reg* calls of this process on
// `root`'s hive one transaction, until RegistryCommitTransaction or
// RegistryRollbackTransaction. The hive's write lock is held meanwhile, so
// other processes' writers wait (up to the busy time-out) and their readers
// keep seeing the state before it. Not nested; the transaction belongs to
// the process, not to the calling thread. A Reg* call that fails inside it
// undoes its own changes only. Returns ERROR_ACCESS_DENIED for a read-only
// hive, ERROR_INVALID_HANDLE for a root other than the two hives,
// ERROR_BUSY when a transaction is already open. A child forked while it is
// open gets ERROR_BUSY from that hive for good (see registry.cpp).
TQRTL_API LONG RegistryBeginTransaction(HKEY root);
TQRTL_API LONG RegistryCommitTransaction(HKEY root);
TQRTL_API LONG RegistryRollbackTransaction(HKEY root);

// RegistryCheckHive: runs SQLite's integrity check on the hive's database.
// Returns 0 and "ok" in *report when it passes; ERROR_BADDB and SQLite's
// findings in *report when it does not; the open error otherwise.
TQRTL_API LONG RegistryCheckHive(HKEY root, std::string* report);

// RegistryStatementCount: how many SQLite statements this process has run
// on the store, so tests can tell a read answered from memory from one that
// went to the database.
TQRTL_API std::uint64_t RegistryStatementCount();

// RegistryCloseAll: closes both hives, forgets the directory and every open
// HKEY (those handles become invalid). For tests that move
// TQRTL_REGISTRY_DIR; fails with ERROR_BUSY while a transaction is open.
TQRTL_API LONG RegistryCloseAll();

}  // namespace tqrtl::posix

#endif  // TQRTL_PLATFORM_POSIX_REGISTRY_H_
