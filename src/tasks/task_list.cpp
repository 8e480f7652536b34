#include "tasks/task_list.hpp"

#include "diag/lines.hpp"
#include "rapidjson.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tasks
{

// RapidJSON's own allocator answers a failed allocation with a null pointer
// that the library then writes through. This one raises std::bad_alloc
// instead, which the task list's users let pass like any allocation failure.
class ThrowingAllocator
{
  public:
    static const bool kNeedFree = true;

    static void* Malloc(std::size_t size)
    {
        return size == 0 ? nullptr : checked(std::malloc(size));
    }
    static void* Realloc(void* original, std::size_t /*originalSize*/,
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

// The writer's output stream: appends to a string, so that the text is built
// where it stays.
class TextSink
{
  public:
    using Ch = char;

    explicit TextSink(std::string& text) : text(text)
    {}

    void Put(char c)
    {
        text.push_back(c);
    }
    void Flush()
    {}
    // The writer's runs of one character (indentation), at once.
    void PutN(char c, std::size_t count)
    {
        text.append(count, c);
    }

  private:
    std::string& text;
};

// Found by the writer, for its indentation.
void PutN(TextSink& sink, char c, std::size_t count)
{
    sink.PutN(c, count);
}

using TextWriter =
    rapidjson::PrettyWriter<TextSink, rapidjson::UTF8<>, rapidjson::UTF8<>,
                            ThrowingAllocator>;

// Nesting deeper than this ends the parse: the parser recurses once per
// level, and a list needs four.
constexpr unsigned maxNestingDepth = 512;

// The reader's messages and where they go.
struct Messages
{
    Complaints complaints;
    std::optional<std::size_t>* held;

    void complain(const char* message, const char* detail = "") const
    {
        if (complaints == Complaints::printed)
        {
            std::printf("%s%s\n", message, detail);
        }
    }
};

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
template <typename Stream>
rapidjson::ParseResult parseDocument(Stream& stream, Document& document)
{
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

// How many elements of jobs can be entries: room for them all is made at
// once, so that a long list is not moved while it grows, and never more room
// than the document itself takes, whatever its elements are.
std::size_t entriesAtMost(const Value& jobs)
{
    return static_cast<std::size_t>(std::count_if(
        jobs.Begin(), jobs.End(), [](const Value& element) {
            return element.IsObject() &&
                   element.MemberCount() >= fieldNames.size();
        }));
}

// Appends the entries of document's list; false when anything was left out.
bool takeEntries(const Document& document, std::vector<TaskEntry>& list,
                 const Messages& messages)
{
    if (!document.IsObject())
    {
        messages.complain(lines::noListMessage);
        return false;
    }
    auto jobs = document.FindMember(listKey);
    if (jobs == document.MemberEnd())
    {
        messages.complain(lines::noListMessage);
        return false;
    }
    if (!jobs->value.IsArray())
    {
        messages.complain(lines::notArrayMessage);
        return false;
    }
    if (messages.held != nullptr)
    {
        *messages.held = jobs->value.Size();
    }
    list.reserve(list.size() + entriesAtMost(jobs->value));
    bool whole = true;
    for (const auto& element : jobs->value.GetArray())
    {
        auto entry = entryFrom(element);
        if (!entry)
        {
            messages.complain(lines::fieldMissingMessage);
            whole = false;
            continue;
        }
        list.push_back(std::move(*entry));
    }
    return whole;
}

// Bytes an entry takes in the file beyond its fields' texts.
constexpr std::size_t entryOverhead = 256;

// Appends the file's text to text, reserving about what it will take so
// that a large list is not copied while it grows.
void buildText(const std::vector<TaskEntry>& list, std::string& text)
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
    text.reserve(text.size() + estimate);
    TextSink sink(text);
    TextWriter writer(sink);
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

} // namespace

namespace
{

// The reader over any of RapidJSON's input streams.
template <typename Stream>
bool parseFrom(Stream& stream, std::vector<TaskEntry>& list,
               Complaints complaints, std::optional<std::size_t>* held)
{
    const Messages messages{complaints, held};
    Document document;
    const rapidjson::ParseResult result = parseDocument(stream, document);
    if (result.IsError())
    {
        messages.complain(lines::parseErrorMessage,
                          rapidjson::GetParseError_En(result.Code()));
        return false;
    }
    return takeEntries(document, list, messages);
}

} // namespace

bool parseTaskList(std::FILE* file, std::vector<TaskEntry>& list,
                   Complaints complaints, std::optional<std::size_t>* held)
{
    std::array<char, readBufferSize> buffer{};
    rapidjson::FileReadStream stream(file, buffer.data(), buffer.size());
    return parseFrom(stream, list, complaints, held);
}

bool parseTaskList(const std::string& text, std::vector<TaskEntry>& list,
                   Complaints complaints, std::optional<std::size_t>* held)
{
    // The parser stops at a NUL byte, in the text or at its end, as it does
    // at the end of a stream.
    rapidjson::StringStream stream(text.c_str());
    return parseFrom(stream, list, complaints, held);
}

bool isCompleteDocument(std::string_view text)
{
    rapidjson::MemoryStream bytes(text.data(), text.size());
    rapidjson::BaseReaderHandler<> ignoring;
    Reader reader;
    // Iterative: no recursion, however deep the text nests.
    return !reader.Parse<rapidjson::kParseIterativeFlag>(bytes, ignoring)
                .IsError();
}

std::string formatTaskList(const std::vector<TaskEntry>& list)
{
    std::string text;
    buildText(list, text);
    return text;
}

} // namespace tasks
