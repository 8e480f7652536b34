// Arbitrary bytes as the task list's intent copy: what the reader takes
// apart must be what the writer writes for those parts.

#include "tasks/intent_copy.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    const std::string_view copy(reinterpret_cast<const char*>(data), size);
    const auto parsed = tasks::parseIntentCopy(copy);
    if (!parsed)
    {
        return 0;
    }
    // An empty first-line digest is what the writer writes as "unknown".
    const std::string written =
        tasks::formatIntentCopy(parsed->text, parsed->prior);
    const std::string_view unknown = "prior unknown\n";
    const bool same = parsed->prior.empty()
                          ? written.starts_with(unknown) &&
                                written.substr(unknown.size()) == parsed->text
                          : written == copy;
    if (!same || parsed->prior.find('\n') != std::string_view::npos ||
        !parsed->text.starts_with('{') || !parsed->text.ends_with('}'))
    {
        std::abort();
    }
    return 0;
}
