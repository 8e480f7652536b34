// capsule-tool inspect's report over arbitrary capsules: the capsule's
// headers are read from the input after its first byte; the body behind
// the RBU header stands for the image the decompressor would unpack (which
// is not run), and its RBU header, manifest and slot are read from it. The
// first byte chooses the verdict. The text goes to /dev/null; the JSON
// report must parse.

#include "builder/keys.hpp"
#include "capsule/layout.hpp"
#include "capsule_tool/inspect_reading.hpp"
#include "capsule_tool/inspect_report.hpp"
#include "diag.hpp"
#include "fuzz_support.hpp"
#include "rapidjson.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

namespace layout = capsule::layout;

// Where the body starts: behind the UEFI header and the RBU header's
// length, as unwrapping skips them.
std::size_t bodyStart(const std::uint8_t* capsule, std::size_t size)
{
    const std::size_t lengthAt =
        layout::uefiHeaderSize + layout::rbuLengthOffset;
    return std::min(size, layout::uefiHeaderSize +
                              (size > lengthAt ? capsule[lengthAt] : 0));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    fuzz::quietStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    if (size == 0)
    {
        return 0;
    }
    const std::uint8_t verdict = data[0];
    const std::uint8_t* capsule = data + 1;
    const std::size_t capsuleSize = size - 1;
    capsule_tool::Report report;
    report.capsuleSize = capsuleSize;
    const FilePtr file = fuzz::memoryStream(capsule, capsuleSize);
    const std::size_t start = bodyStart(capsule, capsuleSize);
    const FilePtr image =
        fuzz::memoryStream(capsule + start, capsuleSize - start);
    if (!file || !image)
    {
        return 0;
    }
    capsule_tool::describeCapsule(file.get(), report);
    if (report.capsuleRbu.present)
    {
        capsule_tool::describeImage(
            image.get(), static_cast<std::uint32_t>(capsuleSize - start),
            report);
    }
    capsule_tool::identifyRoot(capsule::developmentRootDer(), report);
    report.verified = (verdict & 1U) != 0;
    report.releaseType = verdict >> 1U;
    report.messages = {std::string(diag::failPrefix) + "a.1: b", "c"};
    capsule_tool::printText("capsule", report);
    rapidjson::Document json;
    json.Parse(capsule_tool::jsonReport("capsule", report).c_str());
    if (json.HasParseError() || !json.IsObject())
    {
        std::abort();
    }
    return 0;
}
