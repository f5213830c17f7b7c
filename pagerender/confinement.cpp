// Confines the renderer before it opens the PDF: Landlock for files, network and signals, a
// seccomp filter for the system calls rendering never needs, and resource limits.
#include "pagerender/confinement.h"

#include <dirent.h>
#include <fcntl.h>
#include <link.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>

#include "framework/descriptors.h"
#include "framework/path_names.h"
#include "framework/system_calls.h"
#include "pagerender/fonts.h"
#include "pagerender/landlock_abi.h"

namespace quillamar::pagerender {
namespace {

namespace ll = landlock;

// The sanitizers' runtime traces the threads and reserves a huge address space.
#if defined(QUILLAMAR_SANITIZER_BUILD)
constexpr bool kSanitizerBuild = true;
#else
constexpr bool kSanitizerBuild = false;
#endif

// The font setup and its caches, which load after the limit is set if at all: under 1 MiB on a
// desktop system, with room to spare.
constexpr long long kFontSetupAddressSpace = 16LL << 20;

constexpr std::uint64_t kReadRights = ll::kFsReadFile | ll::kFsReadDir;
constexpr std::uint64_t kWriteRights =
    ll::kFsWriteFile | ll::kFsMakeReg | ll::kFsRemoveFile | ll::kFsTruncate;

// The paths the process keeps, each with the rights granted beneath it.
using AccessPlan = std::map<std::string, std::uint64_t>;

std::string ParentFolder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The folder the pages go to. A page number inside a folder name gives one folder per page: the
// folder that holds those is allowed then.
std::string OutputFolder(const std::string& pattern) {
  const std::size_t marker = pattern.rfind(contract::kPageNumberPlaceholder);
  const std::size_t slash = pattern.rfind('/');
  if (marker == std::string::npos || slash == std::string::npos || marker > slash) {
    return ParentFolder(pattern);
  }
  return ParentFolder(pattern.substr(0, marker));
}

std::string RealPath(const char* path) {
  char resolved[PATH_MAX];
  return ::realpath(path, resolved) != nullptr ? std::string(resolved) : std::string();
}

// A folder that holds loaded libraries: where its links lead, and a handle to look at its entries
// without walking its path again.
struct LibraryFolder {
  std::string real;
  FileDescriptor fd;
};

// The plan as the loaded libraries are visited, with each of their folders resolved once.
struct LibraryVisit {
  AccessPlan& plan;
  std::map<std::string, LibraryFolder> folders;
};

// The folder that really holds a library: a library is mostly a chain of links to a file beside
// them, in a folder reached through links itself (/lib to /usr/lib), which is resolved once for all
// of its libraries. A link that leads into another folder is followed to its end. Empty when the
// library is gone.
std::string RealLibraryFolder(const std::string& library, LibraryVisit& visit) {
  const std::string folder_name = ParentFolder(library);
  const auto [at, added] = visit.folders.try_emplace(folder_name);
  LibraryFolder& folder = at->second;
  if (added) {
    folder.real = RealPath(folder_name.c_str());
    folder.fd.Reset(::open(folder_name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  std::string name = library.substr(library.rfind('/') + 1);
  for (int link = 0;; ++link) {
    char target[PATH_MAX];
    const ssize_t length = ::readlinkat(folder.fd.Get(), name.c_str(), target, sizeof target);
    if (length < 0 && errno != EINVAL) return {};
    if (length < 0) return folder.real;  // not a link: the file itself
    name.assign(target, static_cast<std::size_t>(length));
    if (link == 8 || name.find('/') != std::string::npos) {
      const std::string real = RealPath(library.c_str());
      return real.empty() ? real : ParentFolder(real);
    }
  }
}

int AddLibraryFolder(dl_phdr_info* info, std::size_t /*size*/, void* data) {
  if (info->dlpi_name == nullptr || std::strchr(info->dlpi_name, '/') == nullptr) return 0;
  auto& visit = *static_cast<LibraryVisit*>(data);
  const std::string folder = RealLibraryFolder(info->dlpi_name, visit);
  if (!folder.empty()) visit.plan[folder] |= kReadRights;
  return 0;
}

AccessPlan PlanAccess(const Options& options) {
  AccessPlan plan;
  plan[options.pdf] |= ll::kFsReadFile;
  plan[OutputFolder(options.pattern)] |= kWriteRights;
  if (const std::string program = RunningExecutablePath(); !program.empty()) {
    plan[ParentFolder(program)] |= kReadRights;
  }
  LibraryVisit libraries{plan, {}};
  ::dl_iterate_phdr(AddLibraryFolder, &libraries);
  // The font setup loads only once a PDF needs a font it does not embed, confined by then.
  for (const std::string& folder : FontSetupFolders()) plan[folder] |= kReadRights;
  plan[kPopplerDataFolder] |= kReadRights;
  // The local time zone, which the C library reads when a date is formatted.
  plan["/etc/localtime"] |= ll::kFsReadFile;
  // Libraries open it to discard output; writing to it reaches nothing.
  plan["/dev/null"] |= ll::kFsReadFile | ll::kFsWriteFile;
  // The sanitizers' runtime reads the process's own maps and threads.
  if (kSanitizerBuild) plan["/proc/self"] |= kReadRights;
  return plan;
}

// What the kernel handles at this ABI (the best-effort rules: newer rights are left out).
ll::RulesetAttr HandledAt(int abi) {
  ll::RulesetAttr handled;
  handled.handled_access_fs = ll::kFsAbi1;
  if (abi >= 2) handled.handled_access_fs |= ll::kFsRefer;
  if (abi >= 3) handled.handled_access_fs |= ll::kFsTruncate;
  if (abi >= 4) handled.handled_access_net = ll::kNetBindTcp | ll::kNetConnectTcp;
  if (abi >= 5) handled.handled_access_fs |= ll::kFsIoctlDev;
  if (abi >= 6) handled.scoped = ll::kScopeAbstractUnixSocket | ll::kScopeSignal;
  return handled;
}

unsigned long AttrSizeAt(int abi) {
  if (abi < 4) return ll::kRulesetAttrSizeAbi1;
  if (abi < 6) return ll::kRulesetAttrSizeAbi4;
  return sizeof(ll::RulesetAttr);
}

// Grants the rights beneath path; a path that does not exist is skipped (nothing to read there,
// and a missing output folder fails the page with its own message).
void AddRule(int ruleset, const std::string& path, std::uint64_t rights, std::uint64_t handled) {
  const FileDescriptor fd(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!fd.Valid()) return;
  struct stat status {};
  if (::fstat(fd.Get(), &status) == 0) {
    ll::PathBeneathAttr rule;
    // A folder given as the PDF is opened for listing, so that reading it fails as it would
    // unconfined; other files take only the rights of files.
    if (!S_ISDIR(status.st_mode)) {
      rights &= ll::kFsFileRights;
    } else if (rights == ll::kFsReadFile) {
      rights = ll::kFsReadDir;
    }
    rule.allowed_access = rights & handled;
    rule.parent_fd = fd.Get();
    if (rule.allowed_access != 0) {
      ::syscall(ll::kAddRuleCall, ruleset, ll::kRulePathBeneath, &rule, 0U);
    }
  }
}

// Applies the file system plan; returns the ABI used, or 0 with a note.
int ConfineFiles(const AccessPlan& plan, std::vector<std::string>& notes) {
  const long abi = ::syscall(ll::kCreateRulesetCall, nullptr, 0UL, ll::kCreateRulesetVersion);
  if (abi <= 0) {
    notes.push_back("files unconfined: the kernel has no Landlock (" +
                    std::string(std::strerror(errno)) + ")");
    return 0;
  }
  const ll::RulesetAttr handled = HandledAt(static_cast<int>(abi));
  FileDescriptor ruleset(static_cast<int>(
      ::syscall(ll::kCreateRulesetCall, &handled, AttrSizeAt(static_cast<int>(abi)), 0U)));
  if (!ruleset.Valid()) {
    notes.push_back(std::string("files unconfined: ") + std::strerror(errno));
    return 0;
  }
  for (const auto& [path, rights] : plan) {
    AddRule(ruleset.Get(), path, rights, handled.handled_access_fs);
  }
  const long restricted = ::syscall(ll::kRestrictSelfCall, ruleset.Get(), 0U);
  const int error = errno;
  ruleset.Reset();
  if (restricted != 0) {
    notes.push_back(std::string("files unconfined: ") + std::strerror(error));
    return 0;
  }
  return static_cast<int>(abi);
}

// The calls rendering never makes; each fails with EPERM.
constexpr std::array kRefusedCalls = {
    // network and local sockets
    "socket", "socketpair",
    // running programs
    "execve", "execveat",
    // other processes' memory
    "ptrace", "process_vm_readv", "process_vm_writev",
    // mounting and namespaces
    "mount", "umount2", "pivot_root", "fsopen", "fsconfig", "fsmount", "fspick", "move_mount",
    "open_tree", "mount_setattr", "unshare", "setns",
    // kernel programs, keys, performance counters, and a ring that creates sockets unfiltered
    "bpf", "keyctl", "add_key", "request_key", "perf_event_open", "io_uring_setup",
    // identities
    "setuid", "setgid", "setreuid", "setregid", "setresuid", "setresgid", "setfsuid", "setfsgid",
    "setgroups", "capset"};

// Installs the filter on every thread; false with a note when the kernel or library refuses.
bool FilterSystemCalls(std::vector<std::string>& notes) {
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  if (filter == nullptr) {
    notes.push_back("system calls unfiltered: seccomp is unavailable");
    return false;
  }
  int result = seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1);
  for (const char* name : kRefusedCalls) {
    if (kSanitizerBuild && std::strcmp(name, "ptrace") == 0) continue;
    const int call = seccomp_syscall_resolve_name(name);
    if (result == 0 && call != __NR_SCMP_ERROR) {
      result = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), call, 0);
    }
  }
  // New namespaces through clone: clone3 hides its flags from the filter, so it reports itself
  // missing and the C library falls back to clone, whose flags the filter sees.
  for (const scmp_datum_t flag : {CLONE_NEWNS, CLONE_NEWUTS, CLONE_NEWIPC, CLONE_NEWUSER,
                                  CLONE_NEWPID, CLONE_NEWNET, CLONE_NEWCGROUP}) {
    if (result == 0) {
      result = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1,
                                SCMP_A0(SCMP_CMP_MASKED_EQ, flag, flag));
    }
  }
  if (result == 0) result = seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
  if (result == 0) result = seccomp_load(filter);
  seccomp_release(filter);
  if (result != 0) {
    notes.push_back(std::string("system calls unfiltered: ") + std::strerror(-result));
    return false;
  }
  return true;
}

// The highest descriptor open now: those the run handed over stay usable.
long long HighestOpenDescriptor() {
  long long highest = STDERR_FILENO;
  if (const FolderListing folder = OpenFolderListing("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(folder.get()))
      highest = std::max(highest, std::atoll(entry->d_name));
  }
  return highest;
}

// The address space in use now (libraries, font caches), in bytes.
long long AddressSpaceInUse() {
  char text[64] = {};
  if (const FileDescriptor fd(::open("/proc/self/statm", O_RDONLY | O_CLOEXEC)); fd.Valid()) {
    ReadAll(fd.Get(), text, sizeof text - 1);
  }
  return std::atoll(text) * ::sysconf(_SC_PAGESIZE);
}

// Lowers a soft limit, never raising it above what it is.
bool LowerLimit(int resource, long long value) {
  rlimit limit{};
  if (::getrlimit(resource, &limit) != 0) return false;
  const rlim_t wanted = static_cast<rlim_t>(value);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur <= wanted) return true;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
  return ::setrlimit(resource, &limit) == 0;
}

bool LimitResources(int workers, std::vector<std::string>& notes) {
  bool done =
      LowerLimit(RLIMIT_NOFILE, HighestOpenDescriptor() + 1 + workers * kOpenFilesPerWorker);
  // A decompression bomb then ends as a failed allocation, not as the machine's memory.
  if (!kSanitizerBuild) {
    done = LowerLimit(RLIMIT_AS, AddressSpaceInUse() + kFontSetupAddressSpace +
                                     workers * kMaxPagePixels * kAddressSpacePerPagePixel) &&
           done;
  }
  if (!done) notes.push_back(std::string("limits not set: ") + std::strerror(errno));
  return done;
}

bool IsOne(const char* value) { return value != nullptr && std::strcmp(value, "1") == 0; }

}  // namespace

Confinement ConfineProcess(const Options& options, int workers) {
  Confinement confinement;
  const AccessPlan plan = PlanAccess(options);
  confinement.limits = LimitResources(std::max(workers, 1), confinement.notes);
  // Neither Landlock nor an unprivileged filter may be installed without it; no program can be
  // started anyway.
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    confinement.notes.push_back(std::string("unconfined: ") + std::strerror(errno));
    return confinement;
  }
  confinement.landlock_abi = ConfineFiles(plan, confinement.notes);
  confinement.system_calls = FilterSystemCalls(confinement.notes);
  return confinement;
}

void ConfineForArguments(const std::vector<std::string>& arguments) {
  if (IsOne(std::getenv(contract::kUnconfinedEnv))) return;
  const Result<Options> parsed = ParseArguments(arguments);
  if (!parsed) return;
  const Confinement confinement = ConfineProcess(*parsed, WorkerCount());
  if (confinement.notes.empty() || !IsOne(std::getenv(contract::kVerboseEnv))) return;
  std::string line = std::string(kProgramName) + ": rendering partly unconfined:";
  for (const std::string& note : confinement.notes) line += " " + note + ";";
  line.back() = '\n';
  WriteError(line.c_str());
}

}  // namespace quillamar::pagerender
