// capsule-tool: packs raw BIOS images into capsules and inspects capsules.
//
// "inspect" verifies a capsule with the updater's own unwrapping and
// verification code (run against a private scratch area), so its verdict and
// failure lines are those the updater would give for the same capsule.

#include "capsule_builder.hpp"
#include "rapidjson.hpp"
#include "scratch_directory.hpp"
#include "update/bios_image_context.hpp"
#include "update/verify_image.hpp"
#include "vardex/manifest_format.hpp"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace
{

using capsule::Bytes;

// Exit statuses.
constexpr int exitOk = 0;
constexpr int exitNotVerified = 1;
constexpr int exitUsage = 2;
constexpr int exitError = 3;

constexpr const char* usageText =
    "Usage: capsule-tool <verb> [options]\n"
    "\n"
    "Verbs:\n"
    "  pack      pack a raw BIOS image into a signed capsule\n"
    "  inspect   print a capsule's headers and manifest and verify it\n"
    "  help      print this text (also --help; '<verb> --help' for a verb)\n"
    "\n"
    "Exit statuses:\n"
    "  0  success (inspect: the capsule verifies)\n"
    "  1  inspect: the capsule does not verify\n"
    "  2  usage error\n"
    "  3  other error (unreadable file, unusable key, write failure)\n";

constexpr const char* packUsageText =
    "Usage: capsule-tool pack [options] <raw image> -o <capsule>\n"
    "\n"
    "Builds the image (RBU header + firmware manifest + raw image + 104-byte\n"
    "signature slot), compresses it with LZMA and wraps it in a UEFI capsule\n"
    "header and an RBU header. The raw image is streamed, never held whole.\n"
    "\n"
    "Options:\n"
    "  -o, --output PATH          capsule to write (required)\n"
    "  --image-key PEM            image-signing private key (ECDSA P-384)\n"
    "  --root-key PEM             manifest root-of-trust private key\n"
    "                             (both default to the DEVELOPMENT keys in\n"
    "                             keys/development/: never for production)\n"
    "  --release-type N           release type byte 0..255 (default 2,\n"
    "                             production; 0 means none)\n"
    "  --image-rbu-length N       image RBU header length byte (default 16)\n"
    "  --capsule-rbu-length N     capsule RBU header length byte (default 16)\n"
    "  --preset N                 LZMA preset 0..9 (default 6)\n"
    "  -h, --help                 print this text\n"
    "\n"
    "Exit statuses: 0 written, 2 usage error, 3 other error.\n";

constexpr const char* inspectUsageText =
    "Usage: capsule-tool inspect [--json] <capsule>\n"
    "\n"
    "Prints the capsule's UEFI header, RBU header, the decompressed image's\n"
    "RBU header, its manifest (release type, image key fingerprint) and\n"
    "signature slot, then verifies the capsule offline with the updater's\n"
    "own unwrapping (via /usr/bin/xz) and verification code. The updater's\n"
    "failure and information lines are repeated on standard error.\n"
    "\n"
    "Options:\n"
    "  --json       one JSON object on standard output instead of text\n"
    "  -h, --help   print this text\n"
    "\n"
    "Exit statuses: 0 verifies, 1 does not verify, 2 usage error,\n"
    "3 other error.\n";

bool isHelp(std::string_view word)
{
    return word == "-h" || word == "--help" || word == "help";
}

std::optional<unsigned> parseNumber(const std::string& text, unsigned max)
{
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos)
    {
        return std::nullopt;
    }
    const unsigned value = static_cast<unsigned>(std::stoul(text));
    if (value > max)
    {
        return std::nullopt;
    }
    return value;
}

int usageError(const char* message, const char* usage)
{
    std::fprintf(stderr, "capsule-tool: %s\n\n%s", message, usage);
    return exitUsage;
}

// ---- pack -------------------------------------------------------------------

struct PackOptions
{
    std::string input;
    std::string output;
    std::string imageKey = capsule::developmentImageKeyPath();
    std::string rootKey = capsule::developmentRootKeyPath();
    unsigned releaseType = 2;
    capsule::ImageLayout image;
    capsule::CapsuleLayout capsule;
};

// Parses pack's words; nullopt after a usage error was reported.
std::optional<PackOptions> parsePackOptions(
    const std::vector<std::string>& args, int& status)
{
    PackOptions options;
    for (std::size_t i = 0; i < args.size(); ++i)
    {
        const std::string& word = args[i];
        if (isHelp(word))
        {
            std::fputs(packUsageText, stdout);
            status = exitOk;
            return std::nullopt;
        }
        if (word.empty() || word[0] != '-')
        {
            if (!options.input.empty())
            {
                status = usageError("more than one raw image", packUsageText);
                return std::nullopt;
            }
            options.input = word;
            continue;
        }
        if (i + 1 == args.size())
        {
            status = usageError("option needs a value", packUsageText);
            return std::nullopt;
        }
        const std::string& value = args[++i];
        std::optional<unsigned> number;
        if (word == "-o" || word == "--output")
        {
            options.output = value;
        }
        else if (word == "--image-key")
        {
            options.imageKey = value;
        }
        else if (word == "--root-key")
        {
            options.rootKey = value;
        }
        else if (word == "--release-type" && (number = parseNumber(value, 255)))
        {
            options.releaseType = *number;
        }
        else if (word == "--image-rbu-length" &&
                 (number = parseNumber(value, 255)))
        {
            options.image.rbuHeaderLength = static_cast<std::uint8_t>(*number);
        }
        else if (word == "--capsule-rbu-length" &&
                 (number = parseNumber(value, 255)))
        {
            options.capsule.rbuHeaderLength =
                static_cast<std::uint8_t>(*number);
        }
        else if (word == "--preset" && (number = parseNumber(value, 9)))
        {
            options.capsule.compressionPreset = *number;
        }
        else
        {
            status = usageError("unknown option or bad value", packUsageText);
            return std::nullopt;
        }
    }
    if (options.input.empty() || options.output.empty())
    {
        status = usageError("a raw image and -o <capsule> are required",
                            packUsageText);
        return std::nullopt;
    }
    return options;
}

int pack(const std::vector<std::string>& args)
{
    int status = exitOk;
    const std::optional<PackOptions> options = parsePackOptions(args, status);
    if (!options)
    {
        return status;
    }
    const capsule::Key imageKey = capsule::loadPrivateKey(options->imageKey);
    const capsule::Key rootKey = capsule::loadPrivateKey(options->rootKey);
    if (!imageKey || !rootKey)
    {
        std::fprintf(stderr, "capsule-tool: cannot load key %s\n",
                     imageKey ? options->rootKey.c_str()
                              : options->imageKey.c_str());
        return exitError;
    }
    const Bytes manifest = capsule::buildManifest(
        rootKey, imageKey, static_cast<std::uint8_t>(options->releaseType));
    if (manifest.empty())
    {
        std::fputs("capsule-tool: cannot build the manifest with these keys\n",
                   stderr);
        return exitError;
    }
    if (!capsule::packFile(options->input, manifest, imageKey, options->output,
                           options->image, options->capsule))
    {
        std::fprintf(stderr, "capsule-tool: cannot pack %s into %s\n",
                     options->input.c_str(), options->output.c_str());
        return exitError;
    }
    return exitOk;
}

// ---- inspect: reading
// ---------------------------------------------------------

struct FileClose
{
    void operator()(std::FILE* file) const noexcept
    {
        std::fclose(file);
    }
};
using File = std::unique_ptr<std::FILE, FileClose>;

// Reads up to `size` bytes at `offset`; fewer when the file is shorter.
Bytes readAt(std::FILE* file, long offset, std::size_t size)
{
    Bytes bytes(size);
    if (std::fseek(file, offset, SEEK_SET) != 0)
    {
        return {};
    }
    bytes.resize(std::fread(bytes.data(), 1, size, file));
    return bytes;
}

std::string guidText(const Bytes& bytes)
{
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(),
                  "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  capsule::readLe32(bytes, 0), bytes[4] | (bytes[5] << 8),
                  bytes[6] | (bytes[7] << 8), bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text.data();
}

struct RbuInfo
{
    bool present = false; // "$RBU" found
    unsigned length = 0;
};

RbuInfo rbuInfo(const Bytes& bytes)
{
    RbuInfo info;
    if (bytes.size() >= 8)
    {
        info.present = std::memcmp(bytes.data(), "$RBU", 4) == 0;
        info.length = bytes[4];
    }
    return info;
}

struct ManifestInfo
{
    capsule::ManifestFields fields;
    std::string fingerprint;
};

struct SlotInfo
{
    unsigned derLength = 0;
    std::size_t payloadSize = 0;
};

struct Report
{
    std::uintmax_t capsuleSize = 0;
    bool hasUefiHeader = false;
    std::string guid;
    std::uint32_t headerSize = 0;
    std::uint32_t flags = 0;
    std::uint32_t capsuleImageSize = 0;
    RbuInfo capsuleRbu;
    bool unwrapped = false;
    std::uint32_t imageSize = 0;
    RbuInfo imageRbu;
    std::optional<ManifestInfo> manifest;
    std::optional<SlotInfo> slot;
    bool verified = false;
    unsigned releaseType = 0;
    std::vector<std::string> messages;
};

void describeCapsule(std::FILE* file, Report& report)
{
    const Bytes head = readAt(file, 0, capsule::uefiHeaderSize + 8);
    if (head.size() >= 28)
    {
        report.hasUefiHeader = true;
        report.guid = guidText(head);
        report.headerSize = capsule::readLe32(head, 16);
        report.flags = capsule::readLe32(head, 20);
        report.capsuleImageSize = capsule::readLe32(head, 24);
    }
    if (head.size() > capsule::uefiHeaderSize)
    {
        report.capsuleRbu =
            rbuInfo(Bytes(head.begin() + capsule::uefiHeaderSize, head.end()));
    }
}

// Reads the decompressed image's RBU header, manifest and slot (without
// verifying them: that is the updater's code's job).
void describeImage(std::FILE* image, std::uint32_t size, Report& report)
{
    report.unwrapped = true;
    report.imageSize = size;
    report.imageRbu = rbuInfo(readAt(image, 0, 8));
    if (!report.imageRbu.present)
    {
        return;
    }
    const Bytes manifest =
        readAt(image, report.imageRbu.length, vardex::format::maxManifestSize);
    if (const auto fields =
            capsule::parseManifest(manifest.data(), manifest.size()))
    {
        const Bytes key(
            manifest.begin() + static_cast<long>(fields->keyOffset),
            manifest.begin() +
                static_cast<long>(fields->keyOffset + fields->keyLength));
        report.manifest = ManifestInfo{*fields, capsule::keyFingerprint(key)};
    }
    if (size >= capsule::signatureSlotSize)
    {
        const Bytes slot = readAt(
            image, static_cast<long>(size - capsule::signatureSlotSize), 2);
        if (slot.size() == 2)
        {
            SlotInfo info;
            info.derLength = slot[1] + 2U;
            const std::size_t front =
                report.imageRbu.length +
                (report.manifest ? report.manifest->fields.totalLength : 0);
            const std::size_t signedSize = size - capsule::signatureSlotSize;
            info.payloadSize = signedSize > front ? signedSize - front : 0;
            report.slot = info;
        }
    }
}

// ---- inspect: verification
// ----------------------------------------------------

// Sends standard error to a temporary file while it lives, so the updater's
// lines (and xz's) can be collected; the destructor restores it.
class StderrCapture
{
  public:
    StderrCapture() : sink(std::tmpfile())
    {
        std::fflush(stderr);
        saved = dup(STDERR_FILENO);
        active =
            sink && saved >= 0 && dup2(fileno(sink.get()), STDERR_FILENO) >= 0;
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    ~StderrCapture()
    {
        restore();
        if (saved >= 0)
        {
            close(saved);
        }
    }

    // Restores standard error and returns what was written meanwhile.
    std::string finish()
    {
        restore();
        std::string text;
        if (!sink || std::fseek(sink.get(), 0, SEEK_SET) != 0)
        {
            return text;
        }
        std::array<char, 4096> buffer{};
        std::size_t count = 0;
        while ((count = std::fread(buffer.data(), 1, buffer.size(),
                                   sink.get())) != 0)
        {
            text.append(buffer.data(), count);
        }
        return text;
    }

  private:
    void restore()
    {
        if (active)
        {
            std::fflush(stderr);
            dup2(saved, STDERR_FILENO);
            active = false;
        }
    }

    File sink;
    int saved = -1;
    bool active = false;
};

std::vector<std::string> updaterLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size())
    {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
        {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        if (line.rfind("BIOSIMG_DBG_", 0) == 0)
        {
            lines.push_back(line);
        }
        start = end + 1;
    }
    return lines;
}

// Unwraps and verifies with the updater's code. False when the private
// scratch area cannot be made.
bool verifyCapsule(const std::string& path, Report& report)
{
    const capsule::ScratchDirectory scratch;
    if (!scratch.ready())
    {
        return false;
    }
    StderrCapture capture;
    {
        update::BiosImageContext ctx(path, scratch.area());
        if (update::uncompressBiosCapFile(ctx) == 0)
        {
            describeImage(ctx.file.get(), ctx.imageSize, report);
            try
            {
                report.verified = update::verifyBiosImage(ctx);
                report.releaseType = ctx.releaseType;
            }
            catch (const std::exception& error)
            {
                std::fprintf(stderr, "capsule-tool: exception: %s\n",
                             error.what());
                report.verified = false;
            }
        }
    }
    const std::string text = capture.finish();
    std::fputs(text.c_str(), stderr);
    report.messages = updaterLines(text);
    return true;
}

// ---- inspect: output
// ----------------------------------------------------------

const char* releaseTypeName(unsigned type)
{
    if (type == 0)
    {
        return "none";
    }
    return type == 2 ? "production" : "prototype";
}

void printText(const std::string& path, const Report& r)
{
    std::printf("capsule: %s (%ju bytes)\n", path.c_str(), r.capsuleSize);
    if (r.hasUefiHeader)
    {
        std::printf("UEFI capsule header (84 bytes, not read by the updater):\n"
                    "  guid:               %s\n"
                    "  header size:        %u\n"
                    "  flags:              0x%08x\n"
                    "  capsule image size: %u\n",
                    r.guid.c_str(), r.headerSize, r.flags, r.capsuleImageSize);
    }
    std::printf("capsule RBU header:   %s, length %u\n",
                r.capsuleRbu.present ? "$RBU" : "missing", r.capsuleRbu.length);
    if (r.unwrapped)
    {
        std::printf("image: %u bytes\n", r.imageSize);
        std::printf("image RBU header:     %s, length %u\n",
                    r.imageRbu.present ? "$RBU" : "missing", r.imageRbu.length);
    }
    if (r.manifest)
    {
        const capsule::ManifestFields& f = r.manifest->fields;
        std::printf("manifest (%zu bytes):\n"
                    "  format version:     %u\n"
                    "  release type:       0x%02x (%s)\n"
                    "  image key:          %zu bytes DER, sha256 %s\n"
                    "  root signature:     %zu bytes DER\n",
                    f.totalLength, f.formatVersion, f.releaseType,
                    releaseTypeName(f.releaseType), f.keyLength,
                    r.manifest->fingerprint.c_str(), f.signatureLength);
    }
    if (r.slot)
    {
        std::printf("payload:              %zu bytes\n"
                    "signature slot:       104 bytes, DER signature %u bytes\n",
                    r.slot->payloadSize, r.slot->derLength);
    }
    if (r.verified)
    {
        std::printf("verification: PASS (release type 0x%02x, %s)\n",
                    r.releaseType, releaseTypeName(r.releaseType));
        return;
    }
    std::printf("verification: FAIL\n");
    for (const std::string& line : r.messages)
    {
        if (line.rfind("BIOSIMG_DBG_FAIL", 0) == 0)
        {
            std::printf("  %s\n", line.c_str());
        }
    }
}

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void jsonRbu(JsonWriter& w, const char* name, const RbuInfo& rbu)
{
    w.Key(name);
    w.StartObject();
    w.Key("present");
    w.Bool(rbu.present);
    w.Key("length");
    w.Uint(rbu.length);
    w.EndObject();
}

void jsonUefi(JsonWriter& w, const Report& r)
{
    w.Key("uefi_header");
    if (!r.hasUefiHeader)
    {
        w.Null();
        return;
    }
    w.StartObject();
    w.Key("guid");
    w.String(r.guid.c_str());
    w.Key("header_size");
    w.Uint(r.headerSize);
    w.Key("flags");
    w.Uint(r.flags);
    w.Key("capsule_image_size");
    w.Uint(r.capsuleImageSize);
    w.EndObject();
}

void jsonManifest(JsonWriter& w, const Report& r)
{
    w.Key("manifest");
    if (!r.manifest)
    {
        w.Null();
        return;
    }
    const capsule::ManifestFields& f = r.manifest->fields;
    w.StartObject();
    w.Key("length");
    w.Uint64(f.totalLength);
    w.Key("format_version");
    w.Uint(f.formatVersion);
    w.Key("release_type");
    w.Uint(f.releaseType);
    w.Key("key_length");
    w.Uint64(f.keyLength);
    w.Key("key_sha256");
    w.String(r.manifest->fingerprint.c_str());
    w.Key("signature_length");
    w.Uint64(f.signatureLength);
    w.EndObject();
}

void jsonVerification(JsonWriter& w, const Report& r)
{
    w.Key("verification");
    w.StartObject();
    w.Key("verdict");
    w.String(r.verified ? "pass" : "fail");
    w.Key("release_type");
    w.Uint(r.releaseType);
    w.Key("messages");
    w.StartArray();
    for (const std::string& line : r.messages)
    {
        w.String(line.c_str());
    }
    w.EndArray();
    w.EndObject();
}

void printJson(const std::string& path, const Report& r)
{
    rapidjson::StringBuffer buffer;
    JsonWriter w(buffer);
    w.StartObject();
    w.Key("capsule");
    w.String(path.c_str());
    w.Key("capsule_size");
    w.Uint64(r.capsuleSize);
    jsonUefi(w, r);
    jsonRbu(w, "capsule_rbu", r.capsuleRbu);
    w.Key("image_size");
    if (r.unwrapped)
    {
        w.Uint(r.imageSize);
        jsonRbu(w, "image_rbu", r.imageRbu);
    }
    else
    {
        w.Null();
        w.Key("image_rbu");
        w.Null();
    }
    jsonManifest(w, r);
    w.Key("payload_size");
    r.slot ? w.Uint64(r.slot->payloadSize) : w.Null();
    w.Key("signature_der_length");
    r.slot ? w.Uint(r.slot->derLength) : w.Null();
    jsonVerification(w, r);
    w.EndObject();
    std::printf("%s\n", buffer.GetString());
}

int inspect(const std::vector<std::string>& args)
{
    bool json = false;
    std::string path;
    for (const std::string& word : args)
    {
        if (isHelp(word))
        {
            std::fputs(inspectUsageText, stdout);
            return exitOk;
        }
        if (word == "--json")
        {
            json = true;
        }
        else if (!word.empty() && word[0] != '-' && path.empty())
        {
            path = word;
        }
        else
        {
            return usageError("unexpected argument", inspectUsageText);
        }
    }
    if (path.empty())
    {
        return usageError("a capsule is required", inspectUsageText);
    }
    Report report;
    {
        const File file(std::fopen(path.c_str(), "rb"));
        std::error_code error;
        report.capsuleSize = std::filesystem::file_size(path, error);
        if (!file || error)
        {
            std::fprintf(stderr, "capsule-tool: cannot read %s\n",
                         path.c_str());
            return exitError;
        }
        describeCapsule(file.get(), report);
    }
    if (!verifyCapsule(path, report))
    {
        std::fputs("capsule-tool: cannot create a scratch directory\n", stderr);
        return exitError;
    }
    json ? printJson(path, report) : printText(path, report);
    return report.verified ? exitOk : exitNotVerified;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fputs(usageText, stderr);
        return exitUsage;
    }
    const std::string verb = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    try
    {
        if (isHelp(verb))
        {
            std::fputs(usageText, stdout);
            return exitOk;
        }
        if (verb == "pack")
        {
            return pack(args);
        }
        if (verb == "inspect")
        {
            return inspect(args);
        }
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "capsule-tool: %s\n", error.what());
        return exitError;
    }
    std::fprintf(stderr, "capsule-tool: unknown verb '%s'\n\n%s", verb.c_str(),
                 usageText);
    return exitUsage;
}
