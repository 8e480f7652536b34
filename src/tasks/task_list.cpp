#include "tasks/task_list.hpp"

#include "diag/lines.hpp"
#include "rapidjson.hpp"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
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

using Reader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>,
                                        ThrowingAllocator>;

constexpr std::size_t readBufferSize = 8192;

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

// The fewest bytes of text an entry takes: its seven members with empty
// texts, no blanks, the commas between them and the braces around them.
constexpr std::size_t shortestEntryText = [] {
    std::size_t size = 2 + fieldNames.size() - 1;
    for (const auto& name : fieldNames)
    {
        size += std::string_view(name.key).size() +
                std::string_view(R"("":"")").size();
    }
    return size;
}();

// The list read straight from the parser's events, as a document of the
// whole text would give it: the root object's first "QORAJob" member is the
// list; an element is an entry when it is an object whose first member of
// each of the seven names is a string. Nesting deeper than maxNestingDepth
// ends the parse. Levels count from the root's inside: the root's members
// are at 1, the list's elements at 2, their members at 3.
class ListReader :
    public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, ListReader>
{
  public:
    // Where the list's own member stands once the text is parsed.
    enum class Found
    {
        none,     // no root object, or no "QORAJob" in it
        notArray, // "QORAJob" is not an array
        array,
    };

    explicit ListReader(std::vector<TaskEntry>& list) : list(list)
    {}

    Found found() const
    {
        return state;
    }
    // The list's elements, and those that were not entries.
    std::size_t elements() const
    {
        return elementCount;
    }
    std::size_t leftOut() const
    {
        return leftOutCount;
    }

    // Every value but strings, objects and arrays.
    bool Default()
    {
        value(Kind::other);
        return true;
    }
    // The parser's default mode never passes numbers as text; were one
    // passed so, it would still be no string.
    bool RawNumber(const char* /*str*/, rapidjson::SizeType /*length*/,
                   bool /*copy*/)
    {
        return Default();
    }
    bool String(const char* str, rapidjson::SizeType length, bool /*copy*/)
    {
        if (value(Kind::string))
        {
            // A field ends at its first NUL byte.
            (entry.*fieldNames[field].field)
                .assign(str, ::strnlen(str, length));
        }
        return true;
    }
    bool Key(const char* str, rapidjson::SizeType length, bool /*copy*/)
    {
        const std::string_view key(str, length);
        if (depth == rootLevel && rootIsObject && state == Found::none &&
            !listNext)
        {
            listNext = key == listKey;
        }
        else if (depth == memberLevel && inElement)
        {
            field = fieldOf(key);
        }
        return true;
    }
    bool StartObject()
    {
        const bool element = depth == elementLevel && inList;
        value(Kind::object);
        if (element)
        {
            inElement = true;
            seen.reset();
            whole = true;
        }
        return enter();
    }
    bool EndObject(rapidjson::SizeType /*memberCount*/)
    {
        if (depth == memberLevel && inElement)
        {
            inElement = false;
            if (whole && seen.all())
            {
                list.push_back(std::move(entry));
            }
            else
            {
                ++leftOutCount;
            }
        }
        --depth;
        return true;
    }
    bool StartArray()
    {
        value(Kind::array);
        return enter();
    }
    bool EndArray(rapidjson::SizeType /*elementCount*/)
    {
        if (depth == elementLevel && inList)
        {
            inList = false;
        }
        --depth;
        return true;
    }

  private:
    enum class Kind
    {
        string,
        object,
        array,
        other,
    };

    static constexpr unsigned rootLevel = 1;
    static constexpr unsigned elementLevel = 2;
    static constexpr unsigned memberLevel = 3;
    static constexpr std::size_t noField = fieldNames.size();

    // The field a member names when it is the first of its name, else
    // noField.
    std::size_t fieldOf(std::string_view key)
    {
        for (std::size_t i = 0; i < fieldNames.size(); ++i)
        {
            if (key == fieldNames[i].key)
            {
                if (seen.test(i))
                {
                    return noField;
                }
                seen.set(i);
                return i;
            }
        }
        return noField;
    }

    // Notes a value at the current level; true when it is a string that
    // fills the field its member named.
    bool value(Kind kind)
    {
        if (depth == 0)
        {
            rootIsObject = kind == Kind::object;
        }
        else if (depth == rootLevel && listNext)
        {
            listNext = false;
            state = kind == Kind::array ? Found::array : Found::notArray;
            inList = kind == Kind::array;
        }
        else if (depth == elementLevel && inList)
        {
            ++elementCount;
            if (kind != Kind::object)
            {
                ++leftOutCount;
            }
        }
        else if (depth == memberLevel && inElement && field != noField)
        {
            const bool filled = kind == Kind::string;
            whole = whole && filled;
            field = filled ? field : noField;
            return filled;
        }
        return false;
    }

    bool enter()
    {
        return ++depth <= maxNestingDepth;
    }

    std::vector<TaskEntry>& list;
    unsigned depth = 0;
    bool rootIsObject = false;
    // The root's next value is the list's member.
    bool listNext = false;
    Found state = Found::none;
    bool inList = false;
    std::size_t elementCount = 0;
    std::size_t leftOutCount = 0;
    // The element being read, when it is an object.
    bool inElement = false;
    TaskEntry entry;
    std::bitset<fieldNames.size()> seen;
    bool whole = true;
    // The field the current member fills, or noField.
    std::size_t field = noField;
};

// Gives the reader's messages for what a complete parse found; false when
// anything was left out.
bool report(const ListReader& reader, const Messages& messages)
{
    switch (reader.found())
    {
        case ListReader::Found::none:
            messages.complain(lines::noListMessage);
            return false;
        case ListReader::Found::notArray:
            messages.complain(lines::notArrayMessage);
            return false;
        case ListReader::Found::array:
            break;
    }
    if (messages.held != nullptr)
    {
        *messages.held = reader.elements();
    }
    for (std::size_t i = 0; i < reader.leftOut(); ++i)
    {
        messages.complain(lines::fieldMissingMessage);
    }
    return reader.leftOut() == 0;
}

// The writer's text is what RapidJSON's PrettyWriter writes for the list
// (four spaces per level, a string's bytes up to its first NUL, escaped as
// its writer escapes them), written here directly: the text around the
// fields never changes, and only the fields need escaping.
constexpr std::string_view listStart = "{\n    \"";
constexpr std::string_view listKeyEnd = "\": [";
constexpr std::string_view listEnd = "\n    ]\n}";
constexpr std::string_view emptyListEnd = "]\n}";
constexpr std::string_view entryStart = "\n        {";
constexpr std::string_view entryEnd = "\n        }";
constexpr std::string_view memberStart = "\n            \"";
constexpr std::string_view keyEnd = "\": \"";

// The character after the backslash that escapes a byte ('u' for \u00XX),
// or 0 for a byte written as it is.
constexpr std::array<char, 256> escapes = [] {
    constexpr int firstPrintable = 0x20;
    std::array<char, 256> table{};
    for (int c = 0; c < firstPrintable; ++c)
    {
        table.at(c) = 'u';
    }
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    table['"'] = '"';
    table['\\'] = '\\';
    return table;
}();

constexpr std::string_view hexDigits = "0123456789ABCDEF";

// Appends a field's text, up to its first NUL byte, escaped; runs of bytes
// that need no escape are copied at once.
void appendEscaped(std::string& text, const std::string& field)
{
    const std::string_view value(field.c_str());
    std::size_t run = 0;
    for (std::size_t i = 0; i < value.size(); ++i)
    {
        const auto byte = static_cast<unsigned char>(value[i]);
        const char escape = escapes.at(byte);
        if (escape == 0)
        {
            continue;
        }
        text.append(value.substr(run, i - run)).append(1, '\\');
        text.push_back(escape);
        if (escape == 'u')
        {
            constexpr unsigned nibble = 4;
            constexpr unsigned low = 0xF;
            text.append("00").append(1, hexDigits.at(byte >> nibble));
            text.push_back(hexDigits.at(byte & low));
        }
        run = i + 1;
    }
    text.append(value.substr(run));
}

// The text's size when no field needs an escape or holds a NUL byte:
// exactly what it takes then, so that a text as long as the one read fits
// where that one was read.
std::size_t unescapedSize(const std::vector<TaskEntry>& list)
{
    std::size_t size =
        listStart.size() + std::string_view(listKey).size() + listKeyEnd.size();
    if (list.empty())
    {
        return size + emptyListEnd.size();
    }
    // The commas between the entries and between their members.
    size += listEnd.size() + (list.size() - 1) +
            list.size() * (fieldNames.size() - 1);
    for (const auto& entry : list)
    {
        size += entryStart.size() + entryEnd.size();
        for (const auto& name : fieldNames)
        {
            // The field's text and its closing quote.
            size += memberStart.size() + std::string_view(name.key).size() +
                    keyEnd.size() + (entry.*name.field).size() + 1;
        }
    }
    return size;
}

// Appends the file's text to text, with room made once for about what it
// takes, so that a large list is not copied while it grows.
void buildText(const std::vector<TaskEntry>& list, std::string& text)
{
    text.reserve(text.size() + unescapedSize(list));
    text.append(listStart).append(listKey).append(listKeyEnd);
    const char* entrySeparator = "";
    for (const auto& entry : list)
    {
        text.append(entrySeparator).append(entryStart);
        entrySeparator = ",";
        const char* memberSeparator = "";
        for (const auto& name : fieldNames)
        {
            text.append(memberSeparator).append(memberStart);
            text.append(name.key).append(keyEnd);
            appendEscaped(text, entry.*name.field);
            text.push_back('"');
            memberSeparator = ",";
        }
        text.append(entryEnd);
    }
    text.append(list.empty() ? emptyListEnd : listEnd);
}

} // namespace

namespace
{

// The reader over any of RapidJSON's input streams, with the parser's
// default flags. Entries are appended only when the whole text parses.
template <typename Stream>
bool parseFrom(Stream& stream, std::vector<TaskEntry>& list,
               Complaints complaints, std::optional<std::size_t>* held)
{
    const Messages messages{complaints, held};
    const std::size_t before = list.size();
    ListReader handler(list);
    Reader reader;
    const rapidjson::ParseResult result =
        reader.Parse<rapidjson::kParseDefaultFlags>(stream, handler);
    if (result.IsError())
    {
        list.resize(before);
        messages.complain(lines::parseErrorMessage,
                          rapidjson::GetParseError_En(result.Code()));
        return false;
    }
    return report(handler, messages);
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
    // Room for as many entries as the text can hold at most, made at once so
    // that a long list is not moved while it grows. Only what the entries
    // fill is ever touched.
    list.reserve(list.size() + text.size() / shortestEntryText);
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

void formatTaskList(const std::vector<TaskEntry>& list, std::string& text)
{
    text.clear();
    buildText(list, text);
}

} // namespace tasks
