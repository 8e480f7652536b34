#include "tasks/task_list.hpp"

#include "file_ptr.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Everything the library includes is declared before the exemption below.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <iterator>
#include <limits>
#include <new>

// RapidJSON 1.1's internal stack computes "null + size" before its first
// allocation, which clang's UndefinedBehaviorSanitizer reports although the
// result is only compared; exempt the library's own code from that one check.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((no_sanitize("pointer-overflow"))), \
                             apply_to = function)
#endif
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/filereadstream.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#if defined(__clang__)
#pragma clang attribute pop
#endif

namespace tasks
{

// RapidJSON's own allocator answers a failed allocation with a null pointer
// that the library then writes through. This one raises std::bad_alloc
// instead, which the task list's users let pass like any allocation failure.
class ThrowingAllocator
{
  public:
    static const bool kNeedFree = true;

    void* Malloc(std::size_t size)
    {
        return size == 0 ? nullptr : checked(std::malloc(size));
    }
    void* Realloc(void* original, std::size_t /*originalSize*/,
                  std::size_t newSize)
    {
        if (newSize == 0)
        {
            std::free(original);
            return nullptr;
        }
        // A failed realloc leaves the original block with its owner.
        return checked(std::realloc(original, newSize));
    }
    static void Free(void* block) noexcept
    {
        std::free(block);
    }

  private:
    static void* checked(void* block)
    {
        if (block == nullptr)
        {
            throw std::bad_alloc();
        }
        return block;
    }
};

namespace
{

using Document = rapidjson::GenericDocument<
    rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<ThrowingAllocator>,
    ThrowingAllocator>;
using Value = Document::ValueType;
using Reader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>,
                                        ThrowingAllocator>;
using TextBuffer =
    rapidjson::GenericStringBuffer<rapidjson::UTF8<>, ThrowingAllocator>;
using TextWriter =
    rapidjson::PrettyWriter<TextBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                            ThrowingAllocator>;

// Messages of the reader, on standard output.
constexpr const char* parseErrorMessage = "Document has parse error ";
constexpr const char* noListMessage = "NO QORAJob found";
constexpr const char* notArrayMessage = "NO Arrays found in QORAJob";
constexpr const char* fieldMissingMessage =
    "Field missing, ignoring this entry";

constexpr const char* listKey = "QORAJob";

// The seven members of an entry, in the order they are looked up and written,
// each with the field it fills.
struct FieldName
{
    const char* key;
    std::string TaskEntry::*field;
};
constexpr std::array<FieldName, 7> fieldNames{{
    {"JobType", &TaskEntry::JobType},
    {"DisplayName", &TaskEntry::DisplayName},
    {"FQDD", &TaskEntry::FQDD},
    {"JOBID", &TaskEntry::JOBID},
    {"ResourceURI", &TaskEntry::ResourceURI},
    {"ResourceType", &TaskEntry::ResourceType},
    {"ResourceNamespace", &TaskEntry::ResourceNamespace},
}};

constexpr std::size_t readBufferSize = 8192;

// Nesting deeper than this ends the parse: the parser recurses once per
// level, and a list needs four.
constexpr unsigned maxNestingDepth = 512;

// Backups of lists the reader could not take whole: "<list>.unreadable.1" is
// the newest, "<list>.unreadable.3" the oldest kept.
constexpr int backupsKept = 3;
constexpr const char* backupInfix = ".unreadable.";

constexpr const char* lockSuffix = ".lock";

// How long a run waits for another run's read-modify-write before it goes
// ahead unlocked.
constexpr std::chrono::seconds lockPatience{20};

// A POSIX file descriptor closed when it goes out of scope.
class Descriptor
{
  public:
    explicit Descriptor(int fd) : fd(fd)
    {}
    ~Descriptor()
    {
        if (fd >= 0)
        {
            ::close(fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&&) = delete;
    Descriptor& operator=(Descriptor&&) = delete;

    int get() const
    {
        return fd;
    }
    bool valid() const
    {
        return fd >= 0;
    }

  private:
    int fd;
};

void printReaderMessage(const char* message, const char* detail = "")
{
    std::printf("%s%s\n", message, detail);
}

// Passes SAX events on to the document being built, refusing nesting deeper
// than maxNestingDepth.
class DepthGuard
{
  public:
    explicit DepthGuard(Document& document) : document(document)
    {}

    bool Null()
    {
        return document.Null();
    }
    bool Bool(bool b)
    {
        return document.Bool(b);
    }
    bool Int(int i)
    {
        return document.Int(i);
    }
    bool Uint(unsigned i)
    {
        return document.Uint(i);
    }
    bool Int64(std::int64_t i)
    {
        return document.Int64(i);
    }
    bool Uint64(std::uint64_t i)
    {
        return document.Uint64(i);
    }
    bool Double(double d)
    {
        return document.Double(d);
    }
    bool RawNumber(const char* str, rapidjson::SizeType length, bool copy)
    {
        return document.RawNumber(str, length, copy);
    }
    bool String(const char* str, rapidjson::SizeType length, bool copy)
    {
        return document.String(str, length, copy);
    }
    bool Key(const char* str, rapidjson::SizeType length, bool copy)
    {
        return document.Key(str, length, copy);
    }
    bool StartObject()
    {
        return enter() && document.StartObject();
    }
    bool EndObject(rapidjson::SizeType memberCount)
    {
        --depth;
        return document.EndObject(memberCount);
    }
    bool StartArray()
    {
        return enter() && document.StartArray();
    }
    bool EndArray(rapidjson::SizeType elementCount)
    {
        --depth;
        return document.EndArray(elementCount);
    }

  private:
    bool enter()
    {
        return ++depth <= maxNestingDepth;
    }

    Document& document;
    unsigned depth = 0;
};

// Parses the whole stream with the parser's default flags into document.
rapidjson::ParseResult parseDocument(std::FILE* file, Document& document)
{
    std::array<char, readBufferSize> buffer{};
    rapidjson::FileReadStream stream(file, buffer.data(), buffer.size());
    rapidjson::ParseResult result;
    auto generate = [&](Document& target) {
        DepthGuard guard(target);
        Reader reader;
        result = reader.Parse<rapidjson::kParseDefaultFlags>(stream, guard);
        return !result.IsError();
    };
    document.Populate(generate);
    return result;
}

// The text of a string value, up to its first NUL byte.
std::string textOf(const Value& value)
{
    return value.GetString();
}

// Builds an entry from element when it is an object holding the seven
// members as strings; the first member of each name counts.
std::optional<TaskEntry> entryFrom(const Value& element)
{
    if (!element.IsObject())
    {
        return std::nullopt;
    }
    TaskEntry entry;
    for (const auto& name : fieldNames)
    {
        auto member = element.FindMember(name.key);
        if (member == element.MemberEnd() || !member->value.IsString())
        {
            return std::nullopt;
        }
        entry.*name.field = textOf(member->value);
    }
    return entry;
}

// Appends the entries of document's list; false when anything was left out.
bool takeEntries(const Document& document, std::vector<TaskEntry>& list)
{
    if (!document.IsObject())
    {
        printReaderMessage(noListMessage);
        return false;
    }
    auto jobs = document.FindMember(listKey);
    if (jobs == document.MemberEnd())
    {
        printReaderMessage(noListMessage);
        return false;
    }
    if (!jobs->value.IsArray())
    {
        printReaderMessage(notArrayMessage);
        return false;
    }
    bool whole = true;
    for (const auto& element : jobs->value.GetArray())
    {
        auto entry = entryFrom(element);
        if (!entry)
        {
            printReaderMessage(fieldMissingMessage);
            whole = false;
            continue;
        }
        list.push_back(std::move(*entry));
    }
    return whole;
}

// Bytes an entry takes in the file beyond its fields' texts.
constexpr std::size_t entryOverhead = 256;

// Builds the file's text in buffer, reserving about what it will take so
// that a large list is not copied while it grows.
void buildText(const std::vector<TaskEntry>& list, TextBuffer& buffer)
{
    std::size_t estimate = 32;
    for (const auto& entry : list)
    {
        estimate += entryOverhead;
        for (const auto& name : fieldNames)
        {
            estimate += (entry.*name.field).size();
        }
    }
    buffer.Reserve(estimate);
    TextWriter writer(buffer);
    writer.SetIndent(' ', 4);
    writer.StartObject();
    writer.Key(listKey);
    writer.StartArray();
    for (const auto& entry : list)
    {
        writer.StartObject();
        for (const auto& name : fieldNames)
        {
            writer.Key(name.key);
            writer.String((entry.*name.field).c_str());
        }
        writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();
}

// Identity of a file's contents at one moment: the same file, unchanged.
struct FileIdentity
{
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::timespec modified{};

    bool operator==(const FileIdentity& other) const
    {
        return device == other.device && inode == other.inode &&
               size == other.size && modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec;
    }
};

std::optional<FileIdentity> identityOf(int fd)
{
    struct stat status
    {};
    if (::fstat(fd, &status) != 0)
    {
        return std::nullopt;
    }
    return FileIdentity{status.st_dev, status.st_ino, status.st_size,
                        status.st_mtim};
}

// The list file this run read but could not take whole, as it was when read;
// its writer keeps a backup of it before replacing its contents.
struct IncompleteRead
{
    std::string path;
    FileIdentity identity;
};
std::optional<IncompleteRead>& incompleteRead()
{
    static std::optional<IncompleteRead> record;
    return record;
}

bool needsBackup(const std::string& path, int fd)
{
    const auto& record = incompleteRead();
    if (!record || record->path != path)
    {
        return false;
    }
    auto identity = identityOf(fd);
    return identity && *identity == record->identity && identity->size > 0;
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size)
    {
        ssize_t written =
            ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (written < 0 && errno == EINTR)
        {
            continue;
        }
        if (written <= 0)
        {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// Copies the whole of source into a new file at target.
bool copyContents(int source, const std::string& target)
{
    Descriptor out(
        ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!out.valid())
    {
        return false;
    }
    std::array<char, readBufferSize> buffer{};
    off_t offset = 0;
    while (true)
    {
        ssize_t got = ::pread(source, buffer.data(), buffer.size(), offset);
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got < 0)
        {
            return false;
        }
        if (got == 0)
        {
            break;
        }
        ssize_t put =
            ::write(out.get(), buffer.data(), static_cast<std::size_t>(got));
        if (put != got)
        {
            return false;
        }
        offset += got;
    }
    return ::fdatasync(out.get()) == 0;
}

// Keeps the current contents of the list as its newest backup, dropping the
// oldest beyond backupsKept.
bool keepBackup(const std::string& path, int fd)
{
    std::string fresh = path + backupInfix + "new";
    if (!copyContents(fd, fresh))
    {
        ::unlink(fresh.c_str());
        return false;
    }
    for (int n = backupsKept - 1; n >= 1; --n)
    {
        // A missing backup simply leaves a gap to fill.
        ::rename(detail::backupPath(path, n).c_str(),
                 detail::backupPath(path, n + 1).c_str());
    }
    if (::rename(fresh.c_str(), detail::backupPath(path, 1).c_str()) != 0)
    {
        ::unlink(fresh.c_str());
        return false;
    }
    return true;
}

// Reserves size bytes for the file; false only when the file system has no
// room for them (a file system that cannot reserve space is written anyway).
bool reserveSpace(int fd, std::size_t size)
{
    int error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
    return error != ENOSPC && error != EDQUOT && error != EFBIG;
}

// Opens the list for an in-place rewrite, creating it when absent.
int openForRewrite(const std::string& path, bool& created)
{
    created = false;
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT)
    {
        return fd;
    }
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    created = fd >= 0;
    return fd;
}

// Writes text over the file's contents, keeping the file itself. The old
// contents are given up only once the space for the new ones is secured.
bool rewriteInPlace(const std::string& path, std::string_view text)
{
    bool created = false;
    Descriptor fd(openForRewrite(path, created));
    if (!fd.valid())
    {
        return false;
    }
    bool written =
        (!needsBackup(path, fd.get()) || keepBackup(path, fd.get())) &&
        reserveSpace(fd.get(), text.size()) &&
        writeAll(fd.get(), text.data(), text.size()) &&
        ::ftruncate(fd.get(), static_cast<off_t>(text.size())) == 0;
    if (!written && created)
    {
        ::unlink(path.c_str());
    }
    if (written)
    {
        incompleteRead().reset();
    }
    return written;
}

// Process-wide holding of the lock: nested holders (an update that queues an
// export within its own cycle) share the outermost one's lock.
struct LockHolding
{
    int fd = -1;
    int depth = 0;
};
LockHolding& lockHolding()
{
    static LockHolding holding;
    return holding;
}

// Takes an exclusive lock on fd, waiting at most lockPatience.
bool lockWithin(int fd)
{
    auto deadline = std::chrono::steady_clock::now() + lockPatience;
    auto pause = std::chrono::milliseconds(1);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    {
        if ((errno != EWOULDBLOCK && errno != EINTR) ||
            std::chrono::steady_clock::now() >= deadline)
        {
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    return true;
}

} // namespace

namespace detail
{

std::string backupPath(const std::string& path, int number)
{
    return path + backupInfix + std::to_string(number);
}

std::string lockPath(const std::string& path)
{
    return path + lockSuffix;
}

bool readTaskListFrom(std::FILE* file, std::vector<TaskEntry>& list)
{
    Document document;
    rapidjson::ParseResult result = parseDocument(file, document);
    if (result.IsError())
    {
        printReaderMessage(parseErrorMessage,
                           rapidjson::GetParseError_En(result.Code()));
        return false;
    }
    return takeEntries(document, list);
}

void readTaskListAt(const std::string& path, std::vector<TaskEntry>& list)
{
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file)
    {
        return;
    }
    auto identity = identityOf(::fileno(file.get()));
    bool whole = readTaskListFrom(file.get(), list);
    if (!whole && identity)
    {
        incompleteRead() = IncompleteRead{path, *identity};
    }
    else if (incompleteRead() && incompleteRead()->path == path)
    {
        incompleteRead().reset();
    }
}

std::string formatTaskList(const std::vector<TaskEntry>& list)
{
    TextBuffer buffer;
    buildText(list, buffer);
    return {buffer.GetString(), buffer.GetSize()};
}

bool writeTaskListAt(const std::string& path,
                     const std::vector<TaskEntry>& list)
{
    TextBuffer buffer;
    buildText(list, buffer);
    return rewriteInPlace(path, {buffer.GetString(), buffer.GetSize()});
}

} // namespace detail

void readTaskList(std::vector<TaskEntry>& list)
{
    detail::readTaskListAt(taskListPath, list);
}

void writeTaskList(const std::vector<TaskEntry>& list)
{
    detail::writeTaskListAt(taskListPath, list);
}

TaskListLock::TaskListLock() : TaskListLock(detail::lockPath(taskListPath))
{}

TaskListLock::TaskListLock(const std::string& lockFile)
{
    auto& holding = lockHolding();
    if (holding.depth++ > 0)
    {
        return;
    }
    int opened = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (opened < 0)
    {
        return;
    }
    if (!lockWithin(opened))
    {
        ::close(opened);
        return;
    }
    holding.fd = opened;
}

TaskListLock::~TaskListLock()
{
    auto& holding = lockHolding();
    if (--holding.depth > 0 || holding.fd < 0)
    {
        return;
    }
    // Closing the only descriptor of the lock file releases the lock.
    ::close(holding.fd);
    holding.fd = -1;
}

} // namespace tasks
