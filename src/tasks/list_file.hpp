#pragma once

// The task list's file: read whole, kept aside when it could not be read,
// and rewritten in place (same inode, owner and mode, because other services
// watch the file itself) so that neither a crash nor a failed write leaves
// it torn.
//
// Names beside the list "<list>":
//   <list>.lock           the lock file (FileLock)
//   <list>.intent.new     the next text being written; incomplete
//   <list>.intent         the next text, complete and synced, behind a
//                         first line naming what the list held before
//                         ("prior <digest>\n"): while it exists the list
//                         may be torn, and the next holder of the lock
//                         writes it into the list first, unless the list
//                         has since been changed or removed by another
//                         writer
//   <list>.unreadable.N   backups of lists not read whole, 1 the newest
//   <list>.unreadable.new a backup being written
// Every one of them is created with O_EXCL and opened without following a
// link; none is ever written through a link, FIFO or device.
//
// Every member but the path helpers is for the holder of the list's lock.

#include <string>
#include <string_view>

namespace tasks
{

// What one read of the list file found.
struct ListContents
{
    enum class State
    {
        absent,     // no file at the list's name
        unreadable, // something there that could not be read whole
        read,       // a regular file, read whole into bytes
    };
    State state = State::absent;
    std::string bytes;
    // What the list held, as an intent copy records it: "absent", or
    // "sha256:" and the hexadecimal SHA-256 of bytes followed by the file's
    // inode and change time; empty when unknown.
    std::string digest;
};

class ListFile
{
  public:
    explicit ListFile(std::string path);

    std::string lockPath() const;
    std::string intentPath() const;
    // Backup number n, 1 the newest.
    std::string backupPath(int number) const;

    // Finishes what an interrupted run left: removes half-written copies
    // and writes a complete intent copy into the list, if the list is still
    // as the copy says it was before (the same bytes, not changed since), or
    // is torn. A copy whose list has since been written by another writer,
    // even back to the same bytes, or removed, is stale and dropped:
    // replaying it would undo that change.
    enum class Recovery
    {
        done,    // nothing is pending any more
        pending, // the intent copy could not be written into the list; its
                 // text, the list's true contents, is in pending
        unknown  // the intent copy could not be read; it stays
    };
    Recovery recover(std::string& pending) const;

    // Reads the whole list file.
    ListContents read() const;

    // Keeps bytes as the newest backup, dropping the oldest of backupsKept.
    // True once the backup is synced.
    bool keepBackup(std::string_view bytes) const;

    // Replaces the list's contents with text, in place, and syncs it: the
    // intent copy first, then room for the text, then the text. False when
    // the list was not changed (it keeps its old text) or when the change
    // is left for the next holder to complete from the intent copy.
    //
    // One exception to the copy: on a file system without room even for
    // it, a text no longer than the list's is still written in place (it
    // needs no new room), unprotected for the instant of that write.
    // prior is the digest of what the list held when it was read
    // (ListContents::digest), recorded in the intent copy.
    bool rewrite(std::string_view text, std::string_view prior) const;

    static constexpr int backupsKept = 3;

  private:
    enum class Outcome
    {
        written,   // the list holds the text, synced
        untouched, // the list still holds its old text
        unfinished // the list may be torn; the intent copy completes it
    };

    enum class Intent
    {
        written, // complete, synced and in place
        noRoom,  // the file system has no room for it
        failed
    };

    Intent writeIntent(std::string_view text, std::string_view prior) const;
    // True when the list is to be completed from an intent copy that says
    // the list held prior before its write began.
    bool intentApplies(std::string_view prior) const;
    // Removes the intent copy once the list holds its text, durably: a copy
    // that came back after a power cut would undo a later rewrite made
    // without one.
    void dropIntent() const;
    // mayGrow false: leaves the list untouched rather than let it grow.
    Outcome writeInPlace(std::string_view text, bool mayGrow) const;
    // The list keeps its old text; one the write created is removed again.
    Outcome giveUp(bool created) const;

    std::string listPath;
};

} // namespace tasks
