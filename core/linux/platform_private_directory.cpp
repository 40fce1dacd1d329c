// The walk to a private directory: each name is looked at without following it and entered by
// descriptor, so that what was checked is what is used, whatever another process renames later.
#include "core/linux/platform_private_directory.h"

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/linux/platform.h"
#include "core/linux/platform_system.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string_print.h"

namespace {

constexpr int32_t kMostLinks = 40;
constexpr int kOpenDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Each made folder is looked at again; a name that keeps vanishing between the make and the look
// (another process removing it each time) is refused after this many tries of that one name.
constexpr int32_t kMostMakeRetries = 8;

bool TrustedOwner(uid_t owner) {
    return owner == geteuid() || owner == 0;
}

// A user other than this one and root: root may change anything anyway.
bool OtherUser(uid_t uid) {
    return uid != geteuid() && uid != 0;
}

// ---- Who else is in a group ----------------------------------------------------------------

// What the user and group databases say about who else may write where a group may. A start
// judges dozens of folders, and reading the whole user database for each one cost a large site
// a third of a second: what was read is remembered, for a while only, so that a user added to a
// group later is seen by the judgements made after that (a start is over long before).
constexpr int64_t kMembersKeptNs = 30LL * 1000 * 1000 * 1000;
// Groups answered one by one; past this many the oldest answer is read again when next asked.
constexpr size_t kMostAnswers = 64;
// Primary groups of other users, from the one walk of the user database: kept exactly, in room
// that starts small and doubles, up to this many distinct groups (8 MiB). A site with more has
// the rest marked in a fixed set of bits, each group in two places: a group whose two bits are
// not both set has no other user, one with both counts as having one (rarely wrong, and then on
// the safe side). So the database is never walked again for one group, however large the site.
constexpr size_t kFirstPrimaries = 4096;
constexpr size_t kMostPrimaries = size_t{1} << 20;
size_t g_mostPrimaries = kMostPrimaries;        // under the members' lock
constexpr size_t kBeyondBits = size_t{1} << 23; // 1 MiB
// Names of this user and root (and of other entries with their ids), which a group may list
// without counting as having another member.
constexpr size_t kMostOurNames = 8;
constexpr size_t kNameRoom = 64;
constexpr size_t kLargestEntry = 1 << 20;

struct Primary {
    gid_t Gid;
    uid_t Uid; // the first user other than this one and root whose primary group it is
};

struct GroupAnswer {
    gid_t Gid;
    bool Other;
    uid_t WitnessUid;            // a member by primary group, when WitnessName is empty
    bool Unnamed;                // a member by primary group that the walk kept no user of
    char WitnessName[kNameRoom]; // a member the group lists (empty when it did not fit)
    char Name[kNameRoom];        // the group's own name, empty when the database has none
};

struct Members {
    std::mutex Lock;
    int64_t ReadAt;
    uid_t For; // the user "this user" was when they were read
    bool Walked, Whole;
    size_t PrimaryCount, PrimaryRoom, OurNameCount, AnswerCount, NextAnswer;
    Primary* Primaries; // sorted by group once the walk is over
    uint64_t* Beyond;   // kBeyondBits, for the groups past kMostPrimaries; null when none were
    char OurNames[kMostOurNames][kNameRoom];
    GroupAnswer Answers[kMostAnswers];
};
Members g_members;

int64_t MonotonicNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000LL + now.tv_nsec;
}

void ForgetMembers(Members& m) {
    m.Walked = m.Whole = false;
    m.PrimaryCount = m.OurNameCount = m.AnswerCount = m.NextAnswer = 0;
    if (m.Primaries) Memory_Free(m.Primaries, m.PrimaryRoom * sizeof(Primary));
    if (m.Beyond) Memory_Free(m.Beyond, kBeyondBits / 8);
    m.Primaries = nullptr;
    m.Beyond = nullptr;
    m.PrimaryRoom = 0;
}

// The two bits of a group in the set beyond the exact ones.
void BeyondBits(gid_t gid, size_t* first, size_t* second) {
    const uint64_t mixed = ((uint64_t)gid + 1) * 0x9E3779B97F4A7C15ull;
    *first = (size_t)(mixed >> 41);
    *second = (size_t)(mixed >> 18) & (kBeyondBits - 1);
}

bool BeyondHas(const Members& m, gid_t gid) {
    size_t first, second;
    BeyondBits(gid, &first, &second);
    return m.Beyond && (m.Beyond[first / 64] >> (first % 64) & 1) &&
           (m.Beyond[second / 64] >> (second % 64) & 1);
}

// Sorts the primary groups and keeps each group once, with the first user the walk met.
void CompactPrimaries(Members& m) {
    std::stable_sort(m.Primaries, m.Primaries + m.PrimaryCount,
                     [](const Primary& a, const Primary& b) { return a.Gid < b.Gid; });
    size_t kept = 0;
    for (size_t i = 0; i < m.PrimaryCount; i++)
        if (kept == 0 || m.Primaries[kept - 1].Gid != m.Primaries[i].Gid)
            m.Primaries[kept++] = m.Primaries[i];
    m.PrimaryCount = kept;
}

// Keeps another user's primary group: appended while there is room; a full room is compacted, and
// doubled when that left it more than half full; past the most room, the group goes to the bits.
// False when nothing could be kept (no memory): the walk is then not whole.
bool KeepPrimary(Members& m, gid_t gid, uid_t uid) {
    if (m.Beyond) {
        size_t first, second;
        BeyondBits(gid, &first, &second);
        m.Beyond[first / 64] |= uint64_t{1} << (first % 64);
        m.Beyond[second / 64] |= uint64_t{1} << (second % 64);
        return true;
    }
    if (m.PrimaryCount == m.PrimaryRoom) {
        if (m.Primaries) CompactPrimaries(m);
        if (m.PrimaryCount > m.PrimaryRoom / 2 || !m.Primaries) {
            if (m.PrimaryRoom >= g_mostPrimaries) {
                m.Beyond = static_cast<uint64_t*>(Memory_Alloc(kBeyondBits / 8));
                if (!m.Beyond) return false;
                memset(m.Beyond, 0, kBeyondBits / 8);
                return KeepPrimary(m, gid, uid);
            }
            const size_t room =
                std::min(m.PrimaryRoom ? m.PrimaryRoom * 2 : kFirstPrimaries, g_mostPrimaries);
            Primary* grown = static_cast<Primary*>(Memory_Alloc(room * sizeof(Primary)));
            if (!grown) return false;
            if (m.PrimaryCount) memcpy(grown, m.Primaries, m.PrimaryCount * sizeof(Primary));
            if (m.Primaries) Memory_Free(m.Primaries, m.PrimaryRoom * sizeof(Primary));
            m.Primaries = grown;
            m.PrimaryRoom = room;
        }
    }
    m.Primaries[m.PrimaryCount++] = {gid, uid};
    return true;
}

void KeepOurName(Members& m, const char* name) {
    for (size_t i = 0; i < m.OurNameCount; i++)
        if (strcmp(m.OurNames[i], name) == 0) return;
    // A name not kept counts as another member where a group lists it: the safe side.
    if (m.OurNameCount < kMostOurNames && strlen(name) < kNameRoom)
        strcpy(m.OurNames[m.OurNameCount++], name);
}

// Where gid is, or would go, in the sorted primary groups.
size_t PrimaryAt(const Members& m, gid_t gid) {
    size_t low = 0, high = m.PrimaryCount;
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if (m.Primaries[middle].Gid < gid)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

// One walk of the whole user database: the primary groups of users other than this one and root,
// and the names of this user and root. Whole is false when it could not be read to its end.
void WalkUsers(Members& m) {
    ForgetMembers(m);
    m.Walked = true;
    m.ReadAt = MonotonicNs();
    m.For = geteuid();
    char scratch[16384];
    struct passwd pw, *user = nullptr;
    bool sawOurs = false, kept = true;
    setpwent();
    for (;;) {
        const int failed = getpwent_r(&pw, scratch, sizeof(scratch), &user);
        if (failed == ENOENT) {
            m.Whole = kept;
            break;
        }
        if (failed != 0 || !user) break;
        if (!OtherUser(user->pw_uid)) {
            sawOurs = sawOurs || user->pw_uid == geteuid();
            KeepOurName(m, user->pw_name);
            continue;
        }
        if (!KeepPrimary(m, user->pw_gid, user->pw_uid)) {
            kept = false;
            break;
        }
    }
    endpwent();
    if (m.Primaries) CompactPrimaries(m);
    // A directory service need not list its users: this user's own name is then asked by its id.
    if (!sawOurs && getpwuid_r(geteuid(), &pw, scratch, sizeof(scratch), &user) == 0 && user)
        KeepOurName(m, user->pw_name);
}

// The one group's answer, read from the databases: a member the group lists that is not this user
// or root (a name that names no user counts: it cannot be judged), or a user other than those
// whose primary group it is. Where the databases cannot be read whole it is taken to have one.
void ReadGroup(Members& m, gid_t gid, GroupAnswer* answer) {
    *answer = {};
    answer->Gid = gid;
    answer->Other = true;
    bool read = false;
    for (size_t size = 16384; size <= kLargestEntry && !read; size *= 4) {
        char* scratch = static_cast<char*>(Memory_Alloc(size));
        struct group entry, *found = nullptr;
        const int failed = getgrgid_r(gid, &entry, scratch, size, &found);
        if (failed == 0) {
            read = true;
            answer->Other = false;
            if (found && strlen(found->gr_name) < kNameRoom) strcpy(answer->Name, found->gr_name);
            for (char** member = found ? found->gr_mem : nullptr; member && *member && !answer->Other;
                 member++) {
                bool ours = false;
                for (size_t i = 0; i < m.OurNameCount && !ours; i++)
                    ours = strcmp(m.OurNames[i], *member) == 0;
                if (ours) continue;
                answer->Other = true;
                if (strlen(*member) < kNameRoom) strcpy(answer->WitnessName, *member);
            }
        }
        Memory_Free(scratch, size);
        if (failed != 0 && failed != ERANGE) break;
    }
    if (!read || answer->Other) return;
    if (!m.Whole) {
        answer->Other = true;
        return;
    }
    const size_t at = PrimaryAt(m, gid);
    if (at < m.PrimaryCount && m.Primaries[at].Gid == gid) {
        answer->Other = true;
        answer->WitnessUid = m.Primaries[at].Uid;
        return;
    }
    // Past the groups kept exactly, the bits tell (no user is named then).
    if (BeyondHas(m, gid)) answer->Other = answer->Unnamed = true;
}

// Whether the group has a member other than this user and root, with what the databases said of it.
// getpwent walks one list shared by the whole process, and the answers are shared: one lock.
bool GroupHasOtherMember(gid_t gid, GroupAnswer* said = nullptr) {
    Members& m = g_members;
    std::lock_guard<std::mutex> hold(m.Lock);
    if (m.Walked && (MonotonicNs() - m.ReadAt > kMembersKeptNs || m.For != geteuid())) ForgetMembers(m);
    if (!m.Walked) WalkUsers(m);
    for (size_t i = 0; i < m.AnswerCount; i++) {
        if (m.Answers[i].Gid != gid) continue;
        if (said) *said = m.Answers[i];
        return m.Answers[i].Other;
    }
    GroupAnswer answer;
    ReadGroup(m, gid, &answer);
    if (m.AnswerCount < kMostAnswers) {
        m.Answers[m.AnswerCount++] = answer;
    } else {
        m.Answers[m.NextAnswer] = answer;
        m.NextAnswer = (m.NextAnswer + 1) % kMostAnswers;
    }
    if (said) *said = answer;
    return answer.Other;
}

// Whether users other than the owner may write into a folder: everyone where others may write,
// and a group's members other than this user where the group may.
bool OthersWrite(const struct stat& info) {
    return (info.st_mode & S_IWOTH) || ((info.st_mode & S_IWGRP) && GroupHasOtherMember(info.st_gid));
}

// ---- What is refused, and why ---------------------------------------------------------------

// The roles a folder is judged in: passed through on the way (or a trusted one, which asks no
// more), a private one, and one the desktop's settings are kept in.
enum class Role { Passage, Private, Settings };

enum class RefusalKind { None, Owner, Writers, Link };

const char* RefusalText(RefusalKind kind) {
    return kind == RefusalKind::Owner  ? "a folder of another user"
           : kind == RefusalKind::Link ? "a link another user made"
                                       : "a folder other users can change";
}

// Why a folder cannot be had in its role: one on the way belongs to this user or root, and others
// write into it only where it is sticky (they cannot then rename or remove what is not theirs); a
// private one is this user's own and closed to other writers; a settings folder belongs to this
// user or root and is closed to other writers, sticky or not (a name planted there first is what
// the settings client would open).
RefusalKind Judge(const struct stat& info, Role role) {
    if (role == Role::Private ? info.st_uid != geteuid() : !TrustedOwner(info.st_uid))
        return RefusalKind::Owner;
    if (OthersWrite(info) && (role != Role::Passage || !(info.st_mode & S_ISVTX)))
        return RefusalKind::Writers;
    return RefusalKind::None;
}

// The last refusal of a folder or link on this thread, for the line that explains it. Zeroed
// storage: no constructor runs for each thread.
struct Refusal {
    RefusalKind Kind;
    Role As; // the role it was refused in
    struct stat Info;
    char Folder[PATH_MAX + NAME_MAX + 2]; // empty when its path could not be had whole
};
thread_local Refusal t_refusal;
// The one kept aside while the log opens its file within another caller's line.
thread_local Refusal t_held;

void ClearRefusal() {
    t_refusal.Kind = RefusalKind::None;
}

// Records a refusal of what is at fd (or of `name` inside it), named by the path the kernel has
// for the descriptor: the folder that failed, whatever links led to it.
void RecordRefusal(RefusalKind kind, Role role, const struct stat& info, int fd, const char* name) {
    Refusal& r = t_refusal;
    r.Kind = kind;
    r.As = role;
    r.Info = info;
    r.Folder[0] = 0;
    char link[32];
    String_Print(link, sizeof(link), "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, r.Folder, PATH_MAX);
    if (n <= 0 || n >= PATH_MAX || r.Folder[0] != '/') {
        r.Folder[0] = 0;
        return;
    }
    r.Folder[n] = 0;
    if (name && String_Print(r.Folder + n, sizeof(r.Folder) - (size_t)n, "%s%s", n > 1 ? "/" : "", name) >=
                    (int32_t)(sizeof(r.Folder) - (size_t)n) - 1)
        r.Folder[0] = 0;
}

// A user as said in a line: "bob (uid 1002)", or with `bare` the name alone; the id alone
// where the user database has no name for it.
void SayUser(uid_t uid, bool bare, char* out, size_t size) {
    char scratch[16384];
    struct passwd pw, *user = nullptr;
    if (getpwuid_r(uid, &pw, scratch, sizeof(scratch), &user) == 0 && user)
        String_Print(out, (int32_t)size, bare ? "%s" : "%s (uid %u)", user->pw_name, (unsigned)uid);
    else
        String_Print(out, (int32_t)size, "uid %u", (unsigned)uid);
}

// Folders already explained in this process (by device, inode, kind, a hash of the path and one
// of the advice): each is said once for each advice it needs, since what lets a folder pass
// depends on the role it was judged in (being sticky is enough for a folder passed through, not
// for one used itself). The path is kept too because an inode number of a folder removed since is
// given to the next one made, elsewhere.
constexpr size_t kMostExplained = 32;
struct Explained {
    dev_t Device;
    ino_t Inode;
    RefusalKind Kind;
    uint64_t Path;
    uint64_t Advice;
};
std::mutex g_explainedLock;
Explained g_explained[kMostExplained];
size_t g_explainedCount = 0;

uint64_t PathHash(const char* path) {
    uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (; *path; path++) hash = (hash ^ (unsigned char)*path) * 1099511628211ull;
    return hash;
}

enum class Said { Never, This, Other };

// Whether the folder was explained already with this advice (one word for each advice a role
// gives), with another, or not at all; it is then counted as explained with this one.
Said Explain(const Refusal& r, const char* advice) {
    const uint64_t path = PathHash(r.Folder);
    const uint64_t hash = PathHash(advice);
    Said said = Said::Never;
    std::lock_guard<std::mutex> hold(g_explainedLock);
    for (size_t i = 0; i < g_explainedCount && said != Said::This; i++)
        if (g_explained[i].Device == r.Info.st_dev && g_explained[i].Inode == r.Info.st_ino &&
            g_explained[i].Kind == r.Kind && g_explained[i].Path == path)
            said = g_explained[i].Advice == hash ? Said::This : Said::Other;
    if (said != Said::This && g_explainedCount < kMostExplained)
        g_explained[g_explainedCount++] = {r.Info.st_dev, r.Info.st_ino, r.Kind, path, hash};
    return said;
}

// The line naming the folder (or link) that failed, who is too many (its owner; every user; the
// group, by name, with one of its other members) and what would let it pass in the role it was
// judged in; a folder explained before for another role says that its earlier advice does not
// all hold here.
bool WriteRefusal(const Refusal& r, char* out, int32_t size) {
    if (r.Kind == RefusalKind::None || !r.Folder[0]) return false;
    char who[kNameRoom + 32];
    const bool own = r.As == Role::Private;
    if (r.Kind != RefusalKind::Writers) {
        const Said said = Explain(r, r.Kind == RefusalKind::Link ? "link" : own ? "yours" : "yours or root's");
        if (said == Said::This) return false;
        SayUser(r.Info.st_uid, false, who, sizeof(who));
        if (r.Kind == RefusalKind::Link)
            String_Print(out, size,
                         "The link %s is not followed: %s made it; it is followed once you or root make it",
                         r.Folder, who);
        else
            String_Print(out, size, "The folder %s is refused: it belongs to %s; it passes once it belongs to you%s%s",
                         r.Folder, who, own ? "" : " or root",
                         said == Said::Other && own ? " (as your own folder, root's is not enough)" : "");
        return true;
    }
    const bool everyone = (r.Info.st_mode & S_IWOTH) != 0;
    const bool sticky = r.As == Role::Passage && !(r.Info.st_mode & S_ISVTX);
    const Said said = Explain(r, sticky ? "sticky or closed" : "closed");
    if (said == Said::This) return false;
    GroupAnswer group = {};
    const bool members = (r.Info.st_mode & S_IWGRP) && GroupHasOtherMember(r.Info.st_gid, &group);
    char named[3 * kNameRoom + 96] = "";
    if (members) {
        if (group.WitnessName[0])
            String_Print(who, sizeof(who), "%s", group.WitnessName);
        else if (group.WitnessUid)
            SayUser(group.WitnessUid, true, who, sizeof(who));
        else if (group.Unnamed)
            String_Print(who, sizeof(who), "%s", "a user whose primary group it is");
        else
            who[0] = 0;
        String_Print(named, sizeof(named), "%sits group %s%s(gid %u) may write into it and %s%s%s",
                     everyone ? ", and " : "", group.Name, group.Name[0] ? " " : "", (unsigned)r.Info.st_gid,
                     who[0] ? "has members other than you and root (" : "its members could not be read", who,
                     who[0] ? ")" : "");
    }
    String_Print(
        out, size,
        "The folder %s is refused: %s%s%s (mode %04o); it passes when %sclosed to %s writes (chmod %s)%s",
        r.Folder, everyone ? "every user may write into it" : "", named,
        sticky ? ", and it is not sticky" : "", (unsigned)(r.Info.st_mode & 07777),
        sticky ? "made sticky (chmod +t) or " : "",
        everyone && members ? "the group's and others'"
        : everyone          ? "others'"
                            : "the group's",
        everyone && members ? "go-w"
        : everyone          ? "o-w"
                            : "g-w",
        said == Said::Other && !sticky ? "; where it is used itself, not only passed through, being sticky does not "
                                         "let it pass"
                                       : "");
    return true;
}

// The line above as one ERROR line.
bool SayRefusal(const Refusal& r) {
    char line[sizeof(r.Folder) + 512];
    if (!WriteRefusal(r, line, sizeof(line))) return false;
    Log_Error("%s\n", line);
    return true;
}

struct Walk {
    int Current = -1;
    int32_t Error = 0;
    const char* Reason = nullptr;

    ~Walk() {
        if (Current >= 0) close(Current);
    }
    bool Fail(int32_t error, const char* reason) {
        Error = error;
        Reason = reason;
        return false;
    }
    // Makes `next` the current folder, checked as one passed through.
    bool Enter(int next) {
        struct stat info;
        if (fstat(next, &info) != 0) {
            const int32_t error = errno;
            close(next);
            return Fail(error, "a folder that cannot be examined");
        }
        if (Current >= 0) close(Current);
        Current = next;
        return Judged(info, Role::Passage);
    }
    // Whether the current folder may be had in the role; a refusal is recorded with its folder.
    bool Judged(const struct stat& info, Role role) {
        const RefusalKind kind = Judge(info, role);
        if (kind == RefusalKind::None) return true;
        RecordRefusal(kind, role, info, Current, nullptr);
        return Fail(EACCES, RefusalText(kind));
    }
    bool EnterRoot() {
        const int root = open("/", kOpenDirectory);
        if (root < 0) return Fail(errno, "the root folder cannot be opened");
        return Enter(root);
    }
};

// Puts `target` and a separator in front of the text at rest[at...], in place.
bool Prepend(char* rest, size_t size, size_t* at, const char* target, size_t length) {
    const size_t tail = strlen(rest + *at);
    if (length + 1 + tail + 1 > size) return false;
    memmove(rest + length + 1, rest + *at, tail + 1);
    memcpy(rest, target, length);
    rest[length] = '/';
    *at = 0;
    return true;
}

} // namespace

namespace {

// The walk itself; the directory reached is judged in `role` (a trusted one as a folder passed
// through), and not at all for kNoRole: its caller judges it. With `missingIn`, a missing name
// (when not making) leaves there the folder it would be made in.
constexpr Role kNoRole = static_cast<Role>(-1);
int64_t WalkTo(const char* path, uint32_t make, Role role, int32_t* descriptor, int32_t* error,
               const char** reason, int32_t* missingIn = nullptr) {
    ASSERT_POINTER(descriptor);
    ASSERT_POINTER(error);
    ASSERT_POINTER(reason);
    *descriptor = -1;
    *error = 0;
    *reason = nullptr;
    ASSERT_POINTER(path);
    ClearRefusal();
    Walk walk;
    auto failed = [&]() {
        *error = walk.Error;
        *reason = walk.Reason;
        return 0;
    };
    char rest[2 * PATH_MAX];
    if (path[0] != '/') {
        walk.Fail(EINVAL, "not an absolute path");
        return failed();
    }
    if (strlen(path) >= sizeof(rest)) {
        walk.Fail(ENAMETOOLONG, "a path too long");
        return failed();
    }
    memcpy(rest, path, strlen(path) + 1);
    if (!walk.EnterRoot()) return failed();
    size_t at = 0;
    int32_t links = 0, retries = 0; // retries: of the name being made, not of the walk
    for (;;) {
        while (rest[at] == '/') at++;
        if (!rest[at]) break;
        const size_t length = strcspn(rest + at, "/");
        char name[NAME_MAX + 1];
        if (length > NAME_MAX) {
            walk.Fail(ENAMETOOLONG, "a name too long");
            return failed();
        }
        memcpy(name, rest + at, length);
        name[length] = 0;
        if (strcmp(name, ".") == 0) {
            at += length;
            continue;
        }
        struct stat info;
        if (fstatat(walk.Current, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            const int32_t missing = errno;
            if (missing != ENOENT || !make || strcmp(name, "..") == 0 || ++retries > kMostMakeRetries) {
                // Where the missing name would be made, after every link on the way.
                if (missingIn && missing == ENOENT && !make) {
                    *missingIn = walk.Current;
                    walk.Current = -1;
                }
                walk.Fail(missing, "a folder that cannot be reached");
                return failed();
            }
            // Made here or by a racing process: either way it is looked at again before use.
            if (mkdirat(walk.Current, name, 0700) != 0 && errno != EEXIST) {
                walk.Fail(errno, "a folder that cannot be made");
                return failed();
            }
            continue;
        }
        at += length;
        retries = 0;
        if (S_ISLNK(info.st_mode)) {
            // A link another user made (in a shared folder, say) would choose where our files go.
            if (!TrustedOwner(info.st_uid)) {
                RecordRefusal(RefusalKind::Link, Role::Passage, info, walk.Current, name);
                walk.Fail(EACCES, RefusalText(RefusalKind::Link));
                return failed();
            }
            if (++links > kMostLinks) {
                walk.Fail(ELOOP, "too many links");
                return failed();
            }
            char target[PATH_MAX];
            const ssize_t n = readlinkat(walk.Current, name, target, sizeof(target) - 1);
            if (n <= 0) {
                walk.Fail(n < 0 ? errno : ENOENT, "a link that cannot be read");
                return failed();
            }
            target[n] = 0;
            if (!Prepend(rest, sizeof(rest), &at, target, (size_t)n)) {
                walk.Fail(ENAMETOOLONG, "a path too long");
                return failed();
            }
            if (target[0] == '/' && !walk.EnterRoot()) return failed();
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            walk.Fail(ENOTDIR, "not a folder");
            return failed();
        }
        const int next = openat(walk.Current, name, kOpenDirectory);
        if (next < 0) {
            walk.Fail(errno, "a folder that cannot be opened");
            return failed();
        }
        // The folder itself is checked below as the destination, not as a passage.
        while (rest[at] == '/') at++;
        if (!rest[at]) {
            close(walk.Current);
            walk.Current = next;
            break;
        }
        if (!walk.Enter(next)) return failed();
    }
    struct stat info;
    if (fstat(walk.Current, &info) != 0) {
        walk.Fail(errno, "a folder that cannot be examined");
        return failed();
    }
    // One that others may write into may hold their names already (or be a shared folder our
    // own link points at): it is refused, never repaired. One they may only read is closed when
    // making, as is one whose group may write while having no member but us.
    if (role != kNoRole && !walk.Judged(info, role)) return failed();
    if (role == Role::Private && make && (info.st_mode & 077) != 0) fchmod(walk.Current, 0700);
    *descriptor = walk.Current;
    walk.Current = -1;
    return 1;
}

} // namespace

int64_t Platform_OpenPrivateDirectory(const char* path, uint32_t make, int32_t* descriptor, int32_t* error,
                                      const char** reason) {
    return WalkTo(path, make, Role::Private, descriptor, error, reason);
}

int64_t Platform_OpenTrustedDirectory(const char* path, int32_t* descriptor, int32_t* error, const char** reason) {
    return WalkTo(path, 0, Role::Passage, descriptor, error, reason);
}

int64_t Platform_OpenPrivateFile(const char* path, uint32_t make, uint32_t append, int32_t* descriptor,
                                 int32_t* error, const char** reason) {
    ASSERT_POINTER(descriptor);
    ASSERT_POINTER(error);
    ASSERT_POINTER(reason);
    ASSERT_POINTER(path);
    *descriptor = -1;
    *error = 0;
    *reason = nullptr;
    const char* slash = strrchr(path, '/');
    if (!slash || !slash[1] || strcmp(slash + 1, ".") == 0 || strcmp(slash + 1, "..") == 0) {
        *error = EINVAL;
        *reason = slash ? "not a file name" : "not an absolute path";
        return 0;
    }
    char folder[2 * PATH_MAX];
    const size_t length = slash == path ? 1 : (size_t)(slash - path);
    if (length >= sizeof(folder)) {
        *error = ENAMETOOLONG;
        *reason = "a path too long";
        return 0;
    }
    memcpy(folder, path, length);
    folder[length] = 0;
    int32_t directory = -1;
    // Made only when missing: a folder of the user's that others may read (the desktop) is not
    // closed to them because a file is written there.
    if (!Platform_OpenPrivateDirectory(folder, 0, &directory, error, reason) &&
        !(make && *error == ENOENT && Platform_OpenPrivateDirectory(folder, 1, &directory, error, reason)))
        return 0;
    int fd;
    // Non-blocking while it is unknown what the name is: a FIFO there would hold the open.
    do fd = openat(directory, slash + 1, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK |
                                             (append ? O_APPEND : 0),
                   0600);
    while (fd < 0 && errno == EINTR);
    const int32_t opened = errno;
    close(directory);
    if (fd < 0) {
        *error = opened;
        *reason = opened == ELOOP ? "a link at the file's name" : "a file that cannot be opened";
        return 0;
    }
    struct stat info;
    const char* refused = nullptr;
    int32_t code = 0;
    if (fstat(fd, &info) != 0) {
        code = errno;
        refused = "a file that cannot be examined";
    } else if (!S_ISREG(info.st_mode)) {
        code = EINVAL;
        refused = "not a regular file";
    } else if (info.st_uid != geteuid()) {
        code = EPERM;
        refused = "a file of another user";
    } else if ((info.st_mode & 07777) != 0600 && fchmod(fd, 0600) != 0) {
        code = errno;
        refused = "a file that cannot be made private";
    } else if (!append && ftruncate(fd, 0) != 0) {
        code = errno;
        refused = "a file that cannot be emptied";
    } else {
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            code = errno;
            refused = "a file that cannot be examined";
        }
    }
    if (refused) {
        *error = code;
        *reason = refused;
        close(fd);
        return 0;
    }
    *descriptor = fd;
    return 1;
}

namespace {

constexpr int32_t kSettingsPathSize = 2 * PATH_MAX;

// One folder of the desktop's settings: the folder itself, or where it is missing the folder it
// would be made in (reached after every link on the way, so a link of ours to a missing folder
// in a shared one is judged by the shared one), reached by the walk and closed to other writers
// (no sticky exception: a name planted there first is what the settings client would open).
bool SettingsFolderTrusted(const char* path, int32_t* error, const char** reason) {
    *error = 0;
    *reason = nullptr;
    int32_t fd = -1, missingIn = -1;
    if (!WalkTo(path, 0, kNoRole, &fd, error, reason, &missingIn)) {
        // A folder on the way refused for its writers is told what lets it pass in this role:
        // being sticky is not enough, since here it may be the folder a missing one is made in.
        if (missingIn < 0 && t_refusal.Kind == RefusalKind::Writers) t_refusal.As = Role::Settings;
        if (missingIn < 0) return false;
        fd = missingIn;
    }
    *error = 0;
    *reason = nullptr;
    struct stat info;
    RefusalKind kind = RefusalKind::None;
    if (fstat(fd, &info) != 0) {
        *error = errno;
        *reason = "a folder that cannot be examined";
    } else if ((kind = Judge(info, Role::Settings)) != RefusalKind::None) {
        RecordRefusal(kind, Role::Settings, info, fd, nullptr);
        *error = EACCES;
        *reason = RefusalText(kind);
    }
    close(fd);
    return *reason == nullptr;
}

// A base folder of the settings as GLib finds it: the variable when set and not empty (GLib
// takes even a relative one, which is then refused), else `fallback` under the home. False
// with *error and *reason when the value does not fit.
bool SettingsBase(const char* variable, const char* fallback, char* buffer, int32_t size, int32_t* error,
                  const char** reason) {
    const bool set = Platform_GetEnvironmentVariable(variable, buffer, size) != 0;
    if (set && buffer[0]) return true;
    bool fits = !buffer[0]; // a value cut to the buffer is not used in part
    if (fits && fallback) {
        buffer[0] = 0;
        char home[kSettingsPathSize];
        if (!Platform_GetUserHome(home, sizeof(home)) || !home[0]) {
            *error = home[0] ? ENAMETOOLONG : ENOENT;
            *reason = home[0] ? "a path too long" : "no home folder";
            return false;
        }
        fits = String_Print(buffer, size, "%s%s", home, fallback) < size - 1;
    }
    if (fits) return true;
    *error = ENAMETOOLONG;
    *reason = "a path too long";
    return false;
}

std::atomic<bool> g_settingsRefusalSaid{false};

} // namespace

int64_t Platform_CheckDesktopSettings() {
    char config[kSettingsPathSize], cache[kSettingsPathSize], runtime[kSettingsPathSize], data[kSettingsPathSize];
    const char* reason = nullptr;
    int32_t error = 0;
    const char* refused = nullptr;
    ClearRefusal();
    // The variable's own name stands for the folder when its value cannot be used at all.
    if (!SettingsBase("XDG_CONFIG_HOME", ".config", config, sizeof(config), &error, &reason))
        refused = "$XDG_CONFIG_HOME";
    else if (!SettingsBase("XDG_CACHE_HOME", ".cache", cache, sizeof(cache), &error, &reason))
        refused = "$XDG_CACHE_HOME";
    else if (!SettingsBase("XDG_RUNTIME_DIR", nullptr, runtime, sizeof(runtime), &error, &reason))
        refused = "$XDG_RUNTIME_DIR";
    else if (!SettingsBase("XDG_DATA_HOME", ".local/share", data, sizeof(data), &error, &reason))
        refused = "$XDG_DATA_HOME";
    char folder[kSettingsPathSize + 32] = "";
    if (!refused) {
        // dconf's user database and GLib's key file; dconf's flag file, under the runtime folder
        // or (without one) the cache home; the compiled schemas of the data home, whose defaults
        // apply even to the settings kept in memory.
        const struct {
            const char* Base;
            const char* Name;
        } folders[] = {{config, "/dconf"}, {config, "/glib-2.0/settings"}, {cache, "/dconf"},
                       {runtime, "/dconf"}, {data, "/glib-2.0/schemas"}};
        for (const auto& f : folders) {
            if (!f.Base[0]) continue;
            String_Print(folder, sizeof(folder), "%s%s", f.Base, f.Name);
            if (!SettingsFolderTrusted(folder, &error, &reason)) {
                refused = folder;
                break;
            }
        }
    }
    if (!refused) return 1;
    if (!g_settingsRefusalSaid.exchange(true)) {
        Log_Error("The desktop's settings are not read: %s is refused (%s, %d); the proxy comes from the "
                  "environment alone\n",
                  refused, reason ? reason : "", error);
        SayRefusal(t_refusal);
    }
    return 0;
}

namespace {

constexpr const char* kToolkitVariables[] = {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"};

// Why the home cannot be had: GLib takes an empty HOME as the current folder and a relative one
// from it, so either is refused, never replaced by the passwd home the toolkit would not use.
void HomeRefusal(int32_t* error, const char** reason) {
    char home[8];
    const int32_t length = Platform_ReadEnvironmentVariable("HOME", home, sizeof(home));
    const bool relative = length == 0 || (length > 0 && home[0] != '/');
    *error = relative ? EINVAL : ENAMETOOLONG;
    *reason = relative ? "HOME is empty or not an absolute path" : "a path too long or no home";
}

// GLib's own rule for its configuration, cache and data homes: the variable when set, else the
// folder under the home; `which` 3 is the home itself. Without one, *error and *reason say why.
bool ToolkitBase(uint32_t which, char* buffer, int32_t size, int32_t* error, const char** reason) {
    static const char* const fallbacks[] = {".config", ".cache", ".local/share", ""};
    buffer[0] = 0;
    if (which < 3) {
        const int32_t length = Platform_ReadEnvironmentVariable(kToolkitVariables[which], buffer, size);
        if (length >= size - 1) { // a value cut to the buffer is not used in part
            buffer[0] = 0;
            *error = ENAMETOOLONG;
            *reason = "a path too long";
            return false;
        }
        // GLib takes any value that is set, a relative one from the current folder: so is it
        // judged (and refused) here, never replaced by the home's folder the toolkit would not use.
        if (length > 0) return true;
    }
    char home[kSettingsPathSize];
    if (!Platform_GetUserHome(home, sizeof(home)) || !home[0]) {
        HomeRefusal(error, reason);
        return false;
    }
    if (which == 3 && strlen(home) > 1) home[strlen(home) - 1] = 0; // named without its separator
    if (String_Print(buffer, size, "%s%s", home, fallbacks[which]) < size - 1) return true;
    buffer[0] = 0;
    *error = ENAMETOOLONG;
    *reason = "a path too long";
    return false;
}

} // namespace

int64_t Platform_GetToolkitBase(uint32_t which, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    buffer[0] = 0;
    int32_t error = 0;
    const char* reason = nullptr;
    return which <= 3 && ToolkitBase(which, buffer, size, &error, &reason);
}

int64_t Platform_GetToolkitFolder(uint32_t which, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    buffer[0] = 0;
    if (which > 3) return 0;
    static const char* const names[] = {"configuration", "cache", "data", "home"};
    static const char* const leaves[] = {"toolkit-config", "toolkit-cache", "toolkit-data", "toolkit-home"};
    char home[kSettingsPathSize];
    int32_t error = 0;
    const char* reason = nullptr;
    ClearRefusal();
    if (!ToolkitBase(which, home, sizeof(home), &error, &reason)) {
        String_Print(home, sizeof(home), "%s", which < 3 ? "the home folder" : "$HOME");
    } else if (SettingsFolderTrusted(home, &error, &reason)) {
        return 1;
    }
    // Refused: the toolkit gets a folder of ours, never the refused one, not even as a fallback.
    // The walk to it is another refusal's record: the home's is kept for its line.
    const Refusal refusal = t_refusal;
    char made[kSettingsPathSize + 32] = "";
    char runtime[kSettingsPathSize];
    int32_t fd = -1, madeError = 0;
    const char* madeReason = "no private runtime folder";
    if (Platform_GetSpecialPath(PLATFORM_PATH_PIPE_PATH, runtime, sizeof(runtime)) &&
        String_Print(made, sizeof(made), "%s%s%s", runtime, runtime[strlen(runtime) - 1] == '/' ? "" : "/",
                     leaves[which]) < (int32_t)sizeof(made) - 1 &&
        Platform_OpenPrivateDirectory(made, 1, &fd, &madeError, &madeReason) &&
        (int32_t)strlen(made) < size) {
        close(fd);
        memcpy(buffer, made, strlen(made) + 1);
        Log_Error("The toolkit's %s folder is not used: %s is refused (%s, %d); the toolkit uses %s instead\n",
                  names[which], home, reason ? reason : "", error, buffer);
        SayRefusal(refusal);
        return 1;
    }
    if (fd >= 0) close(fd);
    Log_Error("The toolkit's %s folder is not used: %s is refused (%s, %d); no private folder could be had "
              "(%s, %d), so the toolkit has none and keeps its settings in memory\n",
              names[which], home, reason ? reason : "", error, madeReason ? madeReason : "", madeError);
    SayRefusal(refusal);
    SayRefusal(t_refusal);
    return 0;
}

int64_t Platform_SayFolderRefusal() {
    return SayRefusal(t_refusal) ? 1 : 0;
}

int64_t Platform_GetFolderRefusal(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    return size > 0 && WriteRefusal(t_refusal, buffer, size) ? 1 : 0;
}

int64_t Platform_HoldFolderRefusal(uint32_t hold) {
    if (hold) {
        t_held = t_refusal;
        ClearRefusal();
    } else {
        t_refusal = t_held;
    }
    return 1;
}

int64_t Platform_ForgetGroupMembers() {
    std::lock_guard<std::mutex> hold(g_members.Lock);
    ForgetMembers(g_members);
    return 1;
}

int64_t Platform_SetMostPrimaryGroupsForTesting(uint32_t count) {
    std::lock_guard<std::mutex> hold(g_members.Lock);
    ForgetMembers(g_members);
    g_mostPrimaries = count ? count : kMostPrimaries;
    return 1;
}

int64_t Platform_OthersCanWrite(uint32_t mode, uint32_t group) {
    struct stat info = {};
    info.st_mode = mode;
    info.st_gid = group;
    return OthersWrite(info) ? 1 : 0;
}

int64_t Platform_GetLastRefusedIdentity(uint64_t* device, uint64_t* inode) {
    ASSERT_POINTER(device);
    ASSERT_POINTER(inode);
    *device = *inode = 0;
    if (t_refusal.Kind == RefusalKind::None) return 0;
    *device = (uint64_t)t_refusal.Info.st_dev;
    *inode = (uint64_t)t_refusal.Info.st_ino;
    return 1;
}

int64_t Platform_GetFolderIdentity(const char* path, uint64_t* device, uint64_t* inode) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(device);
    ASSERT_POINTER(inode);
    *device = *inode = 0;
    if (path[0] != '/') return 0;
    struct stat info;
    if (stat(path, &info) != 0 || !S_ISDIR(info.st_mode)) return 0;
    *device = (uint64_t)info.st_dev;
    *inode = (uint64_t)info.st_ino;
    return 1;
}

namespace {

int32_t MatchIdentity(const struct stat& info, const uint64_t* devices, const uint64_t* inodes, int32_t count) {
    for (int32_t i = 0; i < count; i++)
        if ((uint64_t)info.st_dev == devices[i] && (uint64_t)info.st_ino == inodes[i]) return i;
    return -1;
}

// The folder a path walk stands in, opened only to be walked through (O_PATH: no read right needed).
struct PathHold {
    int Fd = -1;
    ~PathHold() {
        if (Fd >= 0) close(Fd);
    }
    bool Take(int next) {
        if (next < 0) return false;
        if (Fd >= 0) close(Fd);
        Fd = next;
        return true;
    }
};

} // namespace

int32_t Platform_FindFolderOnPath(const char* path, const uint64_t* devices, const uint64_t* inodes, int32_t count) {
    ASSERT_POINTER(path);
    if (count < 1 || path[0] != '/') return -1;
    ASSERT_POINTER(devices);
    ASSERT_POINTER(inodes);
    char rest[2 * PATH_MAX];
    if (strlen(path) >= sizeof(rest)) return -1;
    memcpy(rest, path, strlen(path) + 1);
    constexpr int kOpenPath = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    PathHold hold;
    struct stat info;
    const auto enterRoot = [&]() {
        return hold.Take(open("/", kOpenPath)) && fstat(hold.Fd, &info) == 0;
    };
    if (!enterRoot()) return -1;
    int32_t found = MatchIdentity(info, devices, inodes, count);
    size_t at = 0;
    int32_t links = 0;
    while (found < 0) {
        while (rest[at] == '/') at++;
        if (!rest[at]) break;
        const size_t length = strcspn(rest + at, "/");
        char name[NAME_MAX + 1];
        if (length > NAME_MAX) break;
        memcpy(name, rest + at, length);
        name[length] = 0;
        at += length;
        if (strcmp(name, ".") == 0) continue;
        if (fstatat(hold.Fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) break;
        if ((found = MatchIdentity(info, devices, inodes, count)) >= 0) break;
        if (S_ISLNK(info.st_mode)) {
            char target[PATH_MAX];
            const ssize_t n = readlinkat(hold.Fd, name, target, sizeof(target) - 1);
            if (n <= 0 || ++links > kMostLinks) break;
            target[n] = 0;
            if (!Prepend(rest, sizeof(rest), &at, target, (size_t)n)) break;
            if (target[0] == '/' && !enterRoot()) break;
            continue;
        }
        if (!S_ISDIR(info.st_mode) || !hold.Take(openat(hold.Fd, name, kOpenPath)) || fstat(hold.Fd, &info) != 0)
            break;
        found = MatchIdentity(info, devices, inodes, count);
    }
    return found;
}

int64_t Platform_JudgeOwnFolder(int32_t descriptor, int32_t* error, const char** reason) {
    ASSERT_POINTER(error);
    ASSERT_POINTER(reason);
    *error = 0;
    *reason = nullptr;
    ClearRefusal();
    struct stat info;
    if (fstat(descriptor, &info) != 0 || !S_ISDIR(info.st_mode)) {
        *error = errno ? errno : ENOTDIR;
        *reason = "a folder that cannot be examined";
        return 0;
    }
    const RefusalKind kind = Judge(info, Role::Private);
    if (kind == RefusalKind::None) return 1;
    RecordRefusal(kind, Role::Private, info, descriptor, nullptr);
    *error = EACCES;
    *reason = RefusalText(kind);
    return 0;
}

int64_t Platform_JudgeWriterFolder(int32_t descriptor, const char* name) {
    ClearRefusal();
    struct stat info;
    if (fstat(descriptor, &info) != 0 || !S_ISDIR(info.st_mode)) {
        if (errno == 0) errno = ENOTDIR;
        return 0;
    }
    const RefusalKind kind = Judge(info, Role::Passage);
    if (kind != RefusalKind::None) {
        RecordRefusal(kind, Role::Passage, info, descriptor, nullptr);
        SayRefusal(t_refusal);
        errno = EACCES;
        return 0;
    }
    struct stat there;
    if (!name || !OthersWrite(info) || fstatat(descriptor, name, &there, AT_SYMLINK_NOFOLLOW) != 0 ||
        there.st_uid == geteuid()) {
        errno = 0;
        return 1;
    }
    // The sticky bit keeps our renames off another account's file, but not when we are root: the
    // check is ours to make.
    char folder[PATH_MAX], link[32], who[kNameRoom + 32];
    String_Print(link, sizeof(link), "/proc/self/fd/%d", descriptor);
    const ssize_t n = readlink(link, folder, sizeof(folder) - 1);
    folder[n > 0 ? n : 0] = 0;
    SayUser(there.st_uid, false, who, sizeof(who));
    Log_Error("The file %s/%s is not replaced: %s made it in a folder other users can write into\n", folder, name,
              who);
    errno = EPERM;
    return 0;
}
