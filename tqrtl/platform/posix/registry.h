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
#include <vector>

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

// RegistryBeginTransactions: one transaction over the hives of `roots`
// (HKEY_CURRENT_USER and/or HKEY_LOCAL_MACHINE, in any order), as
// RegistryBeginTransaction on each, or on none when one fails. The hives
// are always taken in the same order, so two processes that both want both
// wait for each other only as long as the first one takes.
// RegistryCommitTransactions commits every open transaction of the process
// all or nothing: the later hives' changes are written to their logs before
// the first hive commits, and when a later commit still fails, the hives
// already committed are put back as they were (another process sees their
// new state only for that moment). It returns the commit's failure then,
// with nothing kept; kErrorUndoFailed when a hive could not be put back
// (the disk is full for it too, or another process changed the same
// entries meanwhile). Either way no transaction is open afterwards, except
// for ERROR_INVALID_PARAMETER: no transaction open, or both hives begun one
// by one with RegistryBeginTransaction (nothing recorded to undo them; they
// stay open for RegistryCommitTransaction).
// RegistryRollbackTransaction ends each hive's part without changes.
TQRTL_API LONG RegistryBeginTransactions(const std::vector<HKEY>& roots);
TQRTL_API LONG RegistryCommitTransactions();
constexpr LONG kErrorUndoFailed = 1016;  // ERROR_REGISTRY_IO_FAILED

// RegistrySetCommitFault: for tests, the next RegistryCommitTransactions
// fails with `error` when it comes to `root`'s hive, as a full disk would.
TQRTL_API void RegistrySetCommitFault(HKEY root, LONG error);

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
