// The kernel's Landlock interface up to ABI 7, declared here because the system headers we build
// against stop at ABI 2. Values and layouts are the kernel's stable user-space ABI.
#pragma once

#include <sys/syscall.h>

#include <cstdint>

namespace quillamar::pagerender::landlock {

#ifdef SYS_landlock_create_ruleset
inline constexpr long kCreateRulesetCall = SYS_landlock_create_ruleset;
inline constexpr long kAddRuleCall = SYS_landlock_add_rule;
inline constexpr long kRestrictSelfCall = SYS_landlock_restrict_self;
#else
// The same numbers on every architecture (they were added to the common table).
inline constexpr long kCreateRulesetCall = 444;
inline constexpr long kAddRuleCall = 445;
inline constexpr long kRestrictSelfCall = 446;
#endif

/// Flag of create_ruleset: return the highest ABI version instead of a ruleset.
inline constexpr std::uint32_t kCreateRulesetVersion = 1U << 0;

/// The one rule type for files: a right granted beneath an opened file or folder.
inline constexpr int kRulePathBeneath = 1;

/// File system rights (ABI 1 unless noted).
inline constexpr std::uint64_t kFsExecute = 1ULL << 0;
inline constexpr std::uint64_t kFsWriteFile = 1ULL << 1;
inline constexpr std::uint64_t kFsReadFile = 1ULL << 2;
inline constexpr std::uint64_t kFsReadDir = 1ULL << 3;
inline constexpr std::uint64_t kFsRemoveDir = 1ULL << 4;
inline constexpr std::uint64_t kFsRemoveFile = 1ULL << 5;
inline constexpr std::uint64_t kFsMakeChar = 1ULL << 6;
inline constexpr std::uint64_t kFsMakeDir = 1ULL << 7;
inline constexpr std::uint64_t kFsMakeReg = 1ULL << 8;
inline constexpr std::uint64_t kFsMakeSock = 1ULL << 9;
inline constexpr std::uint64_t kFsMakeFifo = 1ULL << 10;
inline constexpr std::uint64_t kFsMakeBlock = 1ULL << 11;
inline constexpr std::uint64_t kFsMakeSym = 1ULL << 12;
inline constexpr std::uint64_t kFsRefer = 1ULL << 13;     ///< ABI 2: link or rename across folders
inline constexpr std::uint64_t kFsTruncate = 1ULL << 14;  ///< ABI 3
inline constexpr std::uint64_t kFsIoctlDev = 1ULL << 15;  ///< ABI 5

/// Network rights (ABI 4).
inline constexpr std::uint64_t kNetBindTcp = 1ULL << 0;
inline constexpr std::uint64_t kNetConnectTcp = 1ULL << 1;

/// Scopes (ABI 6): no abstract UNIX socket and no signal reaches outside the domain.
inline constexpr std::uint64_t kScopeAbstractUnixSocket = 1ULL << 0;
inline constexpr std::uint64_t kScopeSignal = 1ULL << 1;

/// Every file system right of ABI 1.
inline constexpr std::uint64_t kFsAbi1 = (1ULL << 13) - 1;
/// The rights a rule may grant on a file that is not a folder.
inline constexpr std::uint64_t kFsFileRights =
    kFsExecute | kFsWriteFile | kFsReadFile | kFsTruncate | kFsIoctlDev;

/// create_ruleset's attribute; older kernels read only the prefix its size names.
struct RulesetAttr {
  std::uint64_t handled_access_fs = 0;
  std::uint64_t handled_access_net = 0;  ///< ABI 4
  std::uint64_t scoped = 0;              ///< ABI 6
};
/// Sizes of the attribute as the ABIs before 4 and before 6 know it.
inline constexpr unsigned long kRulesetAttrSizeAbi1 = sizeof(std::uint64_t);
inline constexpr unsigned long kRulesetAttrSizeAbi4 = 2 * sizeof(std::uint64_t);

/// add_rule's attribute for kRulePathBeneath (packed, as the kernel declares it).
struct __attribute__((packed)) PathBeneathAttr {
  std::uint64_t allowed_access = 0;
  std::int32_t parent_fd = -1;
};

}  // namespace quillamar::pagerender::landlock
