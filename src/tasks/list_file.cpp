#include "tasks/list_file.hpp"

#include "encoding/hex.hpp"
#include "handles/fd.hpp"
#include "tasks/file_io.hpp"
#include "tasks/in_place_write.hpp"
#include "tasks/intent_copy.hpp"
#include "tasks/task_list.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <span>
#include <utility>

namespace tasks
{
namespace
{

constexpr const char* lockSuffix = ".lock";
constexpr const char* intentSuffix = ".intent";
constexpr const char* backupInfix = ".unreadable.";
constexpr const char* freshSuffix = ".new";
constexpr const char* freshBackupSuffix = ".unreadable.new";

// What an intent copy's first line names for a list that was not there.
constexpr std::string_view absentDigest = "absent";
constexpr std::string_view sha256Prefix = "sha256:";

// "sha256:" and the hexadecimal SHA-256 of bytes; empty if OpenSSL fails.
std::string digestOf(std::string_view bytes)
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> md{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), md.data(), &length, EVP_sha256(),
                   nullptr) != 1)
    {
        return {};
    }
    return std::string(sha256Prefix) +
           encoding::lowerHex(std::span(md.data(), length));
}

// Which file held the bytes, and when it was last changed: " inode:<n>
// ctime:<seconds>.<nanoseconds>". Every write changes the change time, so a
// list written back byte for byte by another writer does not pass for one
// no one has touched.
std::string stampOf(const struct stat& status)
{
    return " inode:" + std::to_string(status.st_ino) +
           " ctime:" + std::to_string(status.st_ctim.tv_sec) + "." +
           std::to_string(status.st_ctim.tv_nsec);
}

// A list the tool creates gets what an output stream would give it; the
// copies beside it are the tool's own.
constexpr mode_t listFileMode = 0666;
constexpr mode_t copyFileMode = 0600;

// Bytes of room read() makes beyond the list's size: a few entries.
constexpr std::size_t readHeadroom = 4096;

// A failed in-place write is tried once more before it is left to the next
// holder of the lock.
constexpr int writeAttempts = 2;

// Removes a name a step leaves behind when it gives up, or one an earlier
// run left. Its result is set aside on purpose: a name that is gone already
// is what was wanted, and one that cannot be removed is met again, and
// removed again, by the next writer or recovery.
void removeLeftover(const std::string& path)
{
    static_cast<void>(::unlink(path.c_str()));
}

// Creates path afresh (removing a left-over or planted name first), writes
// the parts into it one after the other and syncs it. The file is new, so
// nothing is written through whatever stood at the name. Returns 0, or the
// errno value of the step that failed (the half-written file is removed again).
int writeNewFile(const std::string& path,
                 std::initializer_list<std::string_view> parts)
{
    removeLeftover(path);
    UniqueFd file(::open(path.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | safeOpenFlags,
                         copyFileMode));
    if (!file.valid())
    {
        return errno;
    }
    errno = 0;
    off_t offset = 0;
    bool written = true;
    for (const std::string_view part : parts)
    {
        written = written && writeAllAt(file.get(), part, offset);
        offset += static_cast<off_t>(part.size());
    }
    if (written && ::fsync(file.get()) == 0)
    {
        return 0;
    }
    // A write that stored nothing and reported nothing counts as no room.
    const int error = errno != 0 ? errno : ENOSPC;
    file.reset();
    removeLeftover(path);
    return error;
}

bool noRoom(int error)
{
    return error == ENOSPC || error == EDQUOT;
}

// Removes something that is not ours from one of our names: a link, FIFO,
// device or empty directory.
void removeForeign(const std::string& path)
{
    if (::unlink(path.c_str()) != 0 && errno == EISDIR)
    {
        ::rmdir(path.c_str());
    }
}

} // namespace

ListFile::ListFile(std::string path) : listPath(std::move(path))
{}

std::string ListFile::lockPath() const
{
    return listPath + lockSuffix;
}

std::string ListFile::intentPath() const
{
    return listPath + intentSuffix;
}

std::string ListFile::backupPath(int number) const
{
    return listPath + backupInfix + std::to_string(number);
}

ListFile::Recovery ListFile::recover(std::string& pending) const
{
    removeLeftover(intentPath() + freshSuffix);
    removeLeftover(listPath + freshBackupSuffix);

    const std::string intent = intentPath();
    UniqueFd copy(::open(intent.c_str(), O_RDONLY | safeOpenFlags));
    if (!copy.valid())
    {
        if (errno == ENOENT)
        {
            return Recovery::done;
        }
        if (errno == ELOOP)
        {
            removeForeign(intent);
            return Recovery::done;
        }
        return Recovery::unknown;
    }
    struct stat status
    {};
    if (::fstat(copy.get(), &status) != 0)
    {
        return Recovery::unknown;
    }
    std::string text;
    if (S_ISREG(status.st_mode))
    {
        text.reserve(static_cast<std::size_t>(status.st_size));
        if (!readAll(copy.get(), text))
        {
            return Recovery::unknown;
        }
    }
    copy.reset();
    // Only a first line and a list's text were ever written there; anything
    // else is not ours.
    const std::optional<IntentCopy> parsed = parseIntentCopy(text);
    if (!parsed)
    {
        removeForeign(intent);
        return Recovery::done;
    }
    if (!intentApplies(parsed->prior))
    {
        dropIntent();
        return Recovery::done;
    }
    std::string next(parsed->text);
    if (writeInPlace(next, true) == Outcome::written)
    {
        dropIntent();
        return Recovery::done;
    }
    pending = std::move(next);
    return Recovery::pending;
}

bool ListFile::intentApplies(std::string_view prior) const
{
    const ListContents now = read();
    switch (now.state)
    {
        case ListContents::State::absent:
            // Removed since by another writer, or never created by the
            // interrupted write: either way nothing of the copy is due.
            return false;
        case ListContents::State::unreadable:
            // Nothing else can be known; the write into it is tried.
            return true;
        case ListContents::State::read:
            break;
    }
    // Untouched since it was read (the same bytes in the same file, not
    // changed since), or torn by the interrupted write, which leaves no
    // complete text until its last byte lands. Anything else, the old bytes
    // written back included, is another writer's.
    return now.digest == prior || !isCompleteDocument(now.bytes);
}

ListContents ListFile::read() const
{
    ListContents contents;
    const UniqueFd file(::open(listPath.c_str(), O_RDONLY | safeOpenFlags));
    if (!file.valid())
    {
        const bool absent = errno == ENOENT;
        contents.state = absent ? ListContents::State::absent
                                : ListContents::State::unreadable;
        contents.digest = absent ? absentDigest : "";
        return contents;
    }
    contents.state = ListContents::State::unreadable;
    struct stat status
    {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
    {
        return contents;
    }
    // With room for a few entries more, so that a next text a little
    // longer still fits where these bytes were read (TaskListCycle).
    contents.bytes.reserve(static_cast<std::size_t>(status.st_size) +
                           readHeadroom);
    if (!readAll(file.get(), contents.bytes))
    {
        contents.bytes.clear();
        return contents;
    }
    contents.state = ListContents::State::read;
    contents.digest = digestOf(contents.bytes);
    if (!contents.digest.empty())
    {
        contents.digest.append(stampOf(status));
    }
    return contents;
}

bool ListFile::keepBackup(std::string_view bytes) const
{
    const std::string fresh = listPath + freshBackupSuffix;
    if (writeNewFile(fresh, {bytes}) != 0)
    {
        return false;
    }
    for (int n = backupsKept - 1; n >= 1; --n)
    {
        // A missing backup simply leaves a gap to fill.
        static_cast<void>(
            ::rename(backupPath(n).c_str(), backupPath(n + 1).c_str()));
    }
    if (::rename(fresh.c_str(), backupPath(1).c_str()) != 0)
    {
        removeLeftover(fresh);
        return false;
    }
    return syncDirectoryOf(listPath);
}

bool ListFile::rewrite(std::string_view text, std::string_view prior) const
{
    const Intent intent = writeIntent(text, prior);
    if (intent == Intent::noRoom)
    {
        // No room for a copy at all: a list that does not grow still needs
        // no new room, and is written without one.
        return writeInPlace(text, false) == Outcome::written;
    }
    if (intent == Intent::failed)
    {
        return false;
    }
    const Outcome outcome = writeInPlace(text, true);
    if (outcome == Outcome::unfinished)
    {
        return false;
    }
    // Written, or given up before the list was touched: the copy has done
    // its work either way.
    dropIntent();
    return outcome == Outcome::written;
}

void ListFile::dropIntent() const
{
    removeLeftover(intentPath());
    // Set aside: should the removal not reach the disk, the copy that comes
    // back names the list it was made for, and a list changed since is not
    // overwritten with it (intentApplies).
    static_cast<void>(syncDirectoryOf(listPath));
}

ListFile::Intent ListFile::writeIntent(std::string_view text,
                                       std::string_view prior) const
{
    const std::string intent = intentPath();
    const std::string fresh = intent + freshSuffix;
    // The first line and the text, without first joining them in memory.
    const int error = writeNewFile(fresh, {intentCopyHead(prior), text});
    if (error != 0)
    {
        return noRoom(error) ? Intent::noRoom : Intent::failed;
    }
    if (::rename(fresh.c_str(), intent.c_str()) != 0)
    {
        removeLeftover(fresh);
        return Intent::failed;
    }
    if (!syncDirectoryOf(listPath))
    {
        removeLeftover(intent);
        return Intent::failed;
    }
    return Intent::written;
}

ListFile::Outcome ListFile::giveUp(bool created) const
{
    if (created)
    {
        removeLeftover(listPath);
    }
    return Outcome::untouched;
}

ListFile::Outcome ListFile::writeInPlace(std::string_view text,
                                         bool mayGrow) const
{
    bool created = false;
    UniqueFd list(::open(listPath.c_str(), O_RDWR | safeOpenFlags));
    if (!list.valid() && errno == ENOENT)
    {
        list.reset(::open(listPath.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | safeOpenFlags,
                          listFileMode));
        created = list.valid();
    }
    struct stat status
    {};
    if (!list.valid() || ::fstat(list.get(), &status) != 0 ||
        !S_ISREG(status.st_mode))
    {
        return Outcome::untouched;
    }
    const off_t oldSize = status.st_size;
    const auto newSize = static_cast<off_t>(text.size());
    if (!mayGrow && newSize > oldSize)
    {
        return giveUp(created);
    }
    const auto first = markTorn(list.get(), oldSize);
    if (!first)
    {
        // The mark may be on the disk or not: either way the intent copy
        // completes the list.
        return Outcome::unfinished;
    }
    // An empty file now holds the mark, which the blanks must not cover.
    if (!reserveSpace(list.get(), std::max<off_t>(oldSize, 1), newSize))
    {
        return unmarkTorn(list.get(), *first) ? giveUp(created)
                                              : Outcome::unfinished;
    }
    // From here on the old text is given up; the intent copy stands for the
    // list until the new text is in place and synced.
    for (int attempt = 0; attempt < writeAttempts; ++attempt)
    {
        if (overwrite(list.get(), text, oldSize))
        {
            return !created || syncDirectoryOf(listPath) ? Outcome::written
                                                         : Outcome::unfinished;
        }
    }
    return Outcome::unfinished;
}

} // namespace tasks
