#include "tasks/intent_copy.hpp"

namespace tasks
{
namespace
{

constexpr std::string_view priorPrefix = "prior ";
constexpr std::string_view unknownDigest = "unknown";

} // namespace

std::string intentCopyHead(std::string_view prior)
{
    std::string head(priorPrefix);
    head.append(prior.empty() ? unknownDigest : prior).append("\n");
    return head;
}

std::string formatIntentCopy(std::string_view text, std::string_view prior)
{
    return intentCopyHead(prior).append(text);
}

std::optional<IntentCopy> parseIntentCopy(std::string_view copy)
{
    const std::size_t lineEnd = copy.find('\n');
    if (!copy.starts_with(priorPrefix) || lineEnd == std::string_view::npos ||
        lineEnd + 1 == copy.size() || copy[lineEnd + 1] != '{' ||
        copy.back() != '}')
    {
        return std::nullopt;
    }
    return IntentCopy{
        copy.substr(priorPrefix.size(), lineEnd - priorPrefix.size()),
        copy.substr(lineEnd + 1)};
}

} // namespace tasks
